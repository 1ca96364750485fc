#include "server/picturefile.h"

#include "model/canvasformat.h"
#include "server/faultpoint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Magic[] = "CELVPICT";
constexpr int MagicSize = 8;
constexpr int HeaderSize = MagicSize + 4;
constexpr int ChecksumSize = 2;

// Reading more than this means the file cannot be ours, whatever it is.
constexpr qint64 LargestFile = HeaderSize + largestCellCount() + ChecksumSize;

quint16 checksum(QByteArrayView bytes)
{
    return qChecksum(bytes, Qt::ChecksumItuV41);
}

// A rename is on the disk only once its folder is synced: until then a power cut may bring back
// the previous file, while the journal already records this one as saved. Best effort: some file
// systems cannot sync a folder, and the file itself is saved either way.
void syncFolderOf(const QString &path)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

PictureFile::PictureFile(const QString &path)
    : m_path(path)
{
}

QByteArray PictureFile::encode(const Picture &picture)
{
    QByteArray out;
    out.reserve(HeaderSize + picture.cells().size() + ChecksumSize);
    out.append(Magic, MagicSize);
    out.append(char(Version));
    out.append(char(picture.formatNumber()));
    out.append(char(picture.border()));
    out.append(char(picture.background()));
    out.append(picture.cells());
    const quint16 sum = checksum(out);
    out.append(char(sum & 0xff));
    out.append(char(sum >> 8));
    return out;
}

std::optional<Picture> PictureFile::decode(QByteArrayView bytes, QString *problem)
{
    if (bytes.size() < MagicSize || bytes.first(MagicSize) != QByteArrayView(Magic, MagicSize)) {
        *problem = QStringLiteral("not a Celvane picture file");
        return std::nullopt;
    }
    if (bytes.size() < HeaderSize + ChecksumSize) {
        *problem = QStringLiteral("damaged: too short");
        return std::nullopt;
    }
    const auto *b = reinterpret_cast<const quint8 *>(bytes.data());
    if (b[MagicSize] != Version) {
        *problem = QStringLiteral("a Celvane picture file of version %1, which this server does "
                                  "not read (it reads version %2)")
                       .arg(b[MagicSize])
                       .arg(Version);
        return std::nullopt;
    }
    const int formatNumber = b[MagicSize + 1];
    if (!Picture::isFormatNumber(formatNumber)) {
        *problem = QStringLiteral("damaged: unknown format %1").arg(formatNumber);
        return std::nullopt;
    }

    Picture picture(formatNumber);
    const qsizetype expected = HeaderSize + picture.cells().size() + ChecksumSize;
    if (bytes.size() != expected) {
        *problem = QStringLiteral("damaged: %1 bytes where format %2 needs %3")
                       .arg(bytes.size())
                       .arg(formatNumber)
                       .arg(expected);
        return std::nullopt;
    }
    const qsizetype body = expected - ChecksumSize;
    const quint16 stored = quint16(b[body] | (b[body + 1] << 8));
    if (stored != checksum(bytes.first(body))) {
        *problem = QStringLiteral("damaged: checksum mismatch");
        return std::nullopt;
    }

    picture.setFrameColors(b[MagicSize + 2], b[MagicSize + 3]);
    picture.setCells(bytes.sliced(HeaderSize, picture.cells().size()));
    return picture;
}

bool PictureFile::settle()
{
    m_error.clear();
    const QFileInfo info(m_path);
    if (!info.exists()) {
        if (info.isSymLink()) {
            m_error =
                QStringLiteral("%1: a link to nothing; refusing to write through it").arg(m_path);
            return false;
        }
        const QString folder = info.absoluteDir().canonicalPath();
        if (!folder.isEmpty())
            m_path = QDir(folder).filePath(info.fileName());
        return true;
    }
    if (!info.isFile()) {
        m_error = QStringLiteral("%1: not a regular file").arg(m_path);
        return false;
    }
    m_path = info.canonicalFilePath();
    return true;
}

PictureFile::LoadResult PictureFile::load(Picture *picture)
{
    m_error.clear();
    QFile file(m_path);
    if (!file.exists())
        return Missing;
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("%1: cannot read: %2").arg(m_path, file.errorString());
        return Refused;
    }
    // One byte more than the largest picture tells a foreign file from ours without reading all
    // of a big one.
    const QByteArray bytes = file.read(LargestFile + 1);
    if (file.error() != QFileDevice::NoError) {
        m_error = QStringLiteral("%1: cannot read: %2").arg(m_path, file.errorString());
        return Refused;
    }

    QString problem;
    auto decoded = decode(bytes, &problem);
    if (!decoded) {
        m_error = QStringLiteral("%1: %2").arg(m_path, problem);
        return Refused;
    }
    *picture = std::move(*decoded);
    return Loaded;
}

bool PictureFile::save(const Picture &picture)
{
    m_error.clear();
    // lstat, not stat: a link put here after the start must not be followed.
    struct stat status;
    const QByteArray nativePath = QFile::encodeName(m_path);
    if (::lstat(nativePath.constData(), &status) == 0 && !S_ISREG(status.st_mode)) {
        m_error = QStringLiteral("%1: no longer a regular file (a link or something else was put "
                                 "in its place); not saving")
                      .arg(m_path);
        return false;
    }
    FaultPoint::Scope scope("save");
    QSaveFile file(m_path);
    FaultPoint::reached();
    if (!file.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("%1: cannot write: %2").arg(m_path, file.errorString());
        return false;
    }
    const QByteArray bytes = encode(picture);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        m_error = QStringLiteral("%1: cannot write: %2; the previous picture is kept")
                      .arg(m_path, file.errorString());
        file.cancelWriting();
        return false;
    }
    // QSaveFile syncs the new file before it renames it over the old one.
    FaultPoint::reached();
    if (!file.commit()) {
        m_error = QStringLiteral("%1: cannot write: %2").arg(m_path, file.errorString());
        return false;
    }
    FaultPoint::reached();
    syncFolderOf(m_path);
    return true;
}
