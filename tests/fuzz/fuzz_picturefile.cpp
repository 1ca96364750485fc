// The server's picture-file loader under arbitrary file contents, both the decoder on its own and
// the whole load from a file on disk.
//
// Checked on every input:
// - a file is accepted exactly when a check written here from the file layout accepts it: the
//   magic, version 1, a format number 0 to 3, the exact size for that format, and a matching
//   CRC-16 (ITU-T V.41, computed here bit by bit);
// - an accepted file yields a picture of that format with exactly its cells and colours, and
//   saving that picture gives back the same bytes;
// - a refused file comes with a reason and leaves the caller's picture untouched.

#include "server/picture.h"
#include "server/picturefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr int CellCounts[4] = {25 * 40, 25 * 80, 23 * 22, 25 * 40};

quint16 crc16(const uint8_t *data, size_t size)
{
    quint16 crc = 0x6363;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return crc;
}

bool acceptable(const uint8_t *data, size_t size)
{
    if (size < 12 || std::memcmp(data, "CELVPICT", 8) != 0 || data[8] != 1 || data[9] > 3)
        return false;
    const size_t body = 12 + size_t(CellCounts[data[9]]);
    if (size != body + 2)
        return false;
    return crc16(data, body) == quint16(data[body] | (data[body + 1] << 8));
}

void checkPicture(const Picture &picture, const uint8_t *data, size_t size)
{
    check(picture.formatNumber() == data[9]);
    check(picture.border() == data[10]);
    check(picture.background() == data[11]);
    check(picture.cells().size() == CellCounts[data[9]]);
    check(std::memcmp(picture.cells().constData(), data + 12, size_t(picture.cells().size())) == 0);
    const QByteArray saved = PictureFile::encode(picture);
    check(size_t(saved.size()) == size && std::memcmp(saved.constData(), data, size) == 0);
}

// A picture no file can produce by accident, to see that a refused load leaves it alone.
Picture sentinel()
{
    Picture picture(2);
    picture.setFrameColors(201, 202);
    picture.setCell(3, 4, 203);
    return picture;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString path = QDir(dir.path()).filePath(QStringLiteral("picture.celv"));

    const bool expected = acceptable(data, size);

    // The decoder, on a block of exactly the file's size.
    const std::unique_ptr<char[]> exact(new char[size ? size : 1]);
    if (size)
        std::memcpy(exact.get(), data, size);
    QString problem;
    const auto decoded =
        PictureFile::decode(QByteArrayView(exact.get(), qsizetype(size)), &problem);
    check(decoded.has_value() == expected);
    if (decoded)
        checkPicture(*decoded, data, size);
    else
        check(!problem.isEmpty());

    // The whole load, from a real file.
    check(dir.isValid());
    QFile file(path);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    check(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    file.close();
    PictureFile pictureFile(path);
    Picture picture = sentinel();
    const PictureFile::LoadResult result = pictureFile.load(&picture);
    if (expected) {
        check(result == PictureFile::Loaded);
        checkPicture(picture, data, size);
    } else {
        check(result == PictureFile::Refused);
        check(!pictureFile.errorString().isEmpty());
        check(picture == sentinel());
    }
    return 0;
}
