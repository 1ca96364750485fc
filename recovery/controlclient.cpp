#include "recovery/controlclient.h"

#include "recovery/controlserver.h"
#include "server/picturefile.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QFile>
#include <QIODevice>
#include <QLocalSocket>
#include <QtEndian>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// An answer holds two numbers, at most a line of text and two pictures, each smaller than a
// request, which holds two as well.
constexpr quint32 MaxReplySize = ControlServer::MaxRequestSize + 4096;

// The first byte of a request. 1 and 2 were those of a bare PictureChange, which a server of
// this version refuses as no request it understands.
constexpr quint8 RequestVersion = 3;
// The three kinds of request are told apart by their first byte, so none can be read as another.
static_assert(RequestVersion != quint8(ControlClient::ModerationTag));
static_assert(quint8('r') != quint8(ControlClient::ModerationTag) && quint8('r') != RequestVersion,
              "reloadRequest() starts with 'r'");

QByteArray encodedPicture(const std::optional<Picture> &picture)
{
    return picture ? PictureFile::encode(*picture) : QByteArray();
}

// False for bytes that are no picture; an empty field is none.
bool decodePicture(const QByteArray &bytes, std::optional<Picture> *picture)
{
    if (bytes.isEmpty())
        return true;
    QString problem;
    *picture = PictureFile::decode(bytes, &problem);
    return bool(*picture);
}

} // namespace

QByteArray ControlClient::frame(const QByteArray &bytes)
{
    QByteArray framed(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(bytes.size()), framed.data());
    return framed + bytes;
}

QByteArray ControlClient::encodeRequest(const Request &request)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << RequestVersion << request.label << request.dryRun << request.change;
    return bytes;
}

std::optional<ControlClient::Request> ControlClient::decodeRequest(QByteArrayView bytes)
{
    const QByteArray copy = bytes.toByteArray();
    QDataStream stream(copy);
    quint8 version = 0;
    Request request;
    stream >> version >> request.label >> request.dryRun >> request.change;
    if (stream.status() != QDataStream::Ok || !stream.atEnd() || version != RequestVersion)
        return std::nullopt;
    return request;
}

ControlClient::Reply ControlClient::refusal(const QString &message)
{
    Reply reply;
    reply.message = message;
    return reply;
}

QByteArray ControlClient::encodeReply(const Reply &reply)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << reply.ok << qint32(reply.outcome.cells) << qint32(reply.outcome.colours)
           << reply.message << encodedPicture(reply.current) << encodedPicture(reply.result);
    return bytes;
}

std::optional<ControlClient::Reply> ControlClient::decodeReply(const QByteArray &bytes)
{
    QDataStream stream(bytes);
    Reply reply;
    qint32 cells = 0;
    qint32 colours = 0;
    QByteArray current;
    QByteArray result;
    stream >> reply.ok >> cells >> colours >> reply.message >> current >> result;
    if (stream.status() != QDataStream::Ok || !stream.atEnd() ||
        !decodePicture(current, &reply.current) || !decodePicture(result, &reply.result))
        return std::nullopt;
    reply.outcome = {cells, colours};
    return reply;
}

bool ControlClient::checkOwner(const QString &socketPath, QString *problem)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(socketPath).constData(), &status) != 0)
        return true; // no socket: nothing to refuse here; connecting says the rest
    if (::geteuid() == 0 || status.st_uid == ::geteuid())
        return true;
    *problem = QStringLiteral("%1 belongs to another user (uid %2): only the server's own user "
                              "and root may change the picture")
                   .arg(socketPath)
                   .arg(status.st_uid);
    return false;
}

std::optional<ControlClient::Reply> ControlClient::send(const QString &socketPath,
                                                        const Request &request, QString *problem,
                                                        int timeoutMs)
{
    return send(socketPath, encodeRequest(request), problem, timeoutMs);
}

std::optional<ControlClient::Reply> ControlClient::send(const QString &socketPath,
                                                        const ModerationRequest &request,
                                                        QString *problem, int timeoutMs)
{
    return send(socketPath, encodeRequest(request), problem, timeoutMs);
}

QByteArray ControlClient::encodeRequest(const ModerationRequest &request)
{
    QByteArray bytes(1, ModerationTag);
    QDataStream stream(&bytes, QIODevice::WriteOnly | QIODevice::Append);
    stream << Moderation::encode(request.change) << request.revert.has_value()
           << (request.revert ? request.revert->encode() : QByteArray()) << request.label;
    return bytes;
}

std::optional<ControlClient::ModerationRequest>
ControlClient::decodeModerationRequest(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.front() != ModerationTag)
        return std::nullopt;
    const QByteArray copy = bytes.sliced(1).toByteArray();
    QDataStream stream(copy);
    QByteArray change;
    bool hasRevert = false;
    QByteArray revert;
    ModerationRequest request;
    stream >> change >> hasRevert >> revert >> request.label;
    if (stream.status() != QDataStream::Ok || !stream.atEnd())
        return std::nullopt;
    const std::optional<Moderation::Change> decoded = Moderation::decode(change);
    if (!decoded)
        return std::nullopt;
    request.change = *decoded;
    if (hasRevert) {
        QString ignored;
        request.revert = PictureChange::decode(revert, &ignored);
        if (!request.revert)
            return std::nullopt;
    }
    return request;
}

std::optional<ControlClient::Reply> ControlClient::send(const QString &socketPath,
                                                        const QByteArray &request, QString *problem,
                                                        int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs)) {
        *problem = QStringLiteral("cannot reach the server at %1: %2")
                       .arg(socketPath, socket.errorString());
        return std::nullopt;
    }
    socket.write(frame(request));
    QElapsedTimer clock;
    clock.start();
    QByteArray received;
    // The server closes after its answer, so reading to the close gets all of it.
    while (socket.state() == QLocalSocket::ConnectedState &&
           received.size() <= qsizetype(MaxReplySize) + 4) {
        const int left = int(timeoutMs - clock.elapsed());
        if (left <= 0)
            break;
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(left);
        else
            socket.waitForReadyRead(left);
        received += socket.readAll();
    }
    received += socket.readAll();
    if (received.size() >= 4) {
        const quint32 length = qFromLittleEndian<quint32>(received.constData());
        if (length <= MaxReplySize && received.size() == qsizetype(length) + 4) {
            const std::optional<Reply> reply = decodeReply(received.sliced(4));
            if (reply)
                return reply;
        }
    }
    *problem = QStringLiteral("the server at %1 gave no answer").arg(socketPath);
    return std::nullopt;
}
