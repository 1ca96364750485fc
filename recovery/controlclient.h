#pragma once

#include "recovery/picturechange.h"
#include "server/moderation.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The recovery commands' end of a running server's control socket (see ControlServer).
class ControlClient
{
public:
    // What the server answered.
    struct Reply
    {
        bool ok = false;
        PictureChange::Outcome outcome;
        QString message; // why it refused, when !ok
    };

    // A ban or lock set or lifted, with the revert a ban --revert carries out in the same step
    // under a connection labelled for it. Its frame starts with ModerationTag, which no encoded
    // PictureChange does.
    struct ModerationRequest
    {
        Moderation::Change change;
        std::optional<PictureChange> revert;
        QString label;
    };
    static constexpr char ModerationTag = 'M';

    // Fails (one line in *problem) when the socket belongs to another user and this process is
    // not root: it would refuse us, and saying whose it is helps more than "permission denied".
    static bool checkOwner(const QString &socketPath, QString *problem);

    // Sends the change and waits for the answer; nothing, with the reason in *problem, when no
    // server answered.
    static std::optional<Reply> send(const QString &socketPath, const PictureChange &change,
                                     QString *problem, int timeoutMs = 30000);

    static std::optional<Reply> send(const QString &socketPath, const ModerationRequest &request,
                                     QString *problem, int timeoutMs = 30000);
    static QByteArray encodeRequest(const ModerationRequest &request);
    static std::optional<ModerationRequest> decodeRequest(QByteArrayView bytes);

    // The frames both ends write: a 4-byte little-endian length, then the bytes.
    static QByteArray frame(const QByteArray &bytes);
    static QByteArray encodeReply(const Reply &reply);
    static std::optional<Reply> decodeReply(const QByteArray &bytes);

private:
    static std::optional<Reply> exchange(const QString &socketPath, const QByteArray &request,
                                         QString *problem, int timeoutMs);
};
