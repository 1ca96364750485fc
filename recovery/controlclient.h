#pragma once

#include "recovery/picturechange.h"
#include "server/moderation.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The recovery commands' end of a running server's control socket (see ControlServer).
//
// A request is a version byte, the label, the dry-run flag and the change, in QDataStream's
// encoding; an answer holds the outcome, the reason for a refusal and, for a dry run, both
// pictures, as PictureFile encodes them.
class ControlClient
{
public:
    // What a command asks of the server.
    struct Request
    {
        // Names the connection the server records the action's edits under, so that the action
        // is listed in the history and can be undone alone ("revert 127.0.0.9 by root").
        QString label;
        // Work out what the change would do to the picture as it stands, and change nothing.
        bool dryRun = false;
        QByteArray change; // PictureChange::encode()
    };

    // What the server answered.
    struct Reply
    {
        bool ok = false;
        PictureChange::Outcome outcome;
        QString message; // why it refused, when !ok
        // For a dry run: the picture as it stood, and as the change would leave it.
        std::optional<Picture> current;
        std::optional<Picture> result;
    };

    // A ban or lock set or lifted, with the revert a ban --revert carries out in the same step
    // under a connection labelled for it. Its frame starts with ModerationTag, which neither an
    // encoded Request (its version number) nor reloadRequest() does.
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
    static std::optional<Reply> send(const QString &socketPath, const Request &request,
                                     QString *problem, int timeoutMs = 30000);
    // The same for any request: an encoded Request or ModerationRequest, or reloadRequest().
    static std::optional<Reply> send(const QString &socketPath, const QByteArray &request,
                                     QString *problem, int timeoutMs = 30000);

    // The request to read the configuration file again. No request encodes to it: an
    // encoded Request starts with its version number.
    static QByteArray reloadRequest() { return QByteArrayLiteral("reload"); }

    static std::optional<Reply> send(const QString &socketPath, const ModerationRequest &request,
                                     QString *problem, int timeoutMs = 30000);
    static QByteArray encodeRequest(const ModerationRequest &request);
    static std::optional<ModerationRequest> decodeModerationRequest(QByteArrayView bytes);

    // The frames both ends write: a 4-byte little-endian length, then the bytes.
    static QByteArray frame(const QByteArray &bytes);
    static QByteArray encodeRequest(const Request &request);
    static std::optional<Request> decodeRequest(QByteArrayView bytes);
    static QByteArray encodeReply(const Reply &reply);
    static Reply refusal(const QString &message);
    static std::optional<Reply> decodeReply(const QByteArray &bytes);
};
