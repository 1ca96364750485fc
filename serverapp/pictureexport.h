#pragma once

class OptionValues;

// --export-png: the picture, or with --at the picture as it stood at a kept moment, written as a
// PNG instead of served.
class PictureExport
{
public:
    // Writes the image the options ask for and returns the exit status.
    static int run(const OptionValues &values);
};
