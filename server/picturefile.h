#pragma once

#include "server/picture.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The server's picture on disk. The file is small and versioned:
//
//   offset 0   8 bytes   magic "CELVPICT"
//   offset 8   1 byte    file version, 1
//   offset 9   1 byte    format number, 0 to 3
//   offset 10  1 byte    border colour index
//   offset 11  1 byte    background colour index
//   offset 12  rows x columns bytes of cells, row by row
//   then       2 bytes   CRC-16 (ITU-T V.41) of everything before it, little-endian
//
// A file that does not start with the magic is someone else's and is never written over. Saving
// goes through QSaveFile, so a crash at any moment leaves the old picture or the new one, and a
// write that fails (a full disk, a size limit) is cancelled rather than committed short.
//
// settle() fixes the real path once, at start. From then on a save writes only to that path, and
// only while it is a regular file or absent: a link or anything else put there later is left
// alone, so that the server never writes through to a file it was not given.
class PictureFile
{
public:
    enum LoadResult {
        Loaded,
        Missing, // no file yet: the caller starts with a new picture and saving creates one
        Refused, // unreadable, foreign, of an unknown version or damaged; see errorString()
    };

    explicit PictureFile(const QString &path);

    const QString &path() const { return m_path; }
    QString errorString() const { return m_error; }

    // Resolves links in the path once and refuses what is not a regular file (a FIFO would hang
    // the first read). A missing file is fine. Failures are described in errorString().
    bool settle();
    LoadResult load(Picture *picture);
    bool save(const Picture &picture);

    static constexpr quint8 Version = 1;
    static QByteArray encode(const Picture &picture);
    // Fails with a reason, written for a person, in *problem.
    static std::optional<Picture> decode(QByteArrayView bytes, QString *problem);

private:
    QString m_path;
    QString m_error;
};
