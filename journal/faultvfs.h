#pragma once

// The test seam's side in SQLite (see server/faultpoint.h): when the seam is armed, a VFS that
// passes everything to the system's own, but asks FaultPoint before every write, truncation and
// sync, and keeps what each unsynced write overwrote so that a simulated power cut can put it
// back. Never installed in a server started without the seam.
class FaultVfs
{
public:
    // Makes the shim SQLite's default for every later connection, once; does nothing unless the
    // seam is armed.
    static void installIfArmed();
};
