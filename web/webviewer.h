#pragma once

#include "server/clientoutput.h"

#include <QObject>
#include <QPointer>

#include <memory>

class PictureServer;
class QWebSocket;
class WebAccess;

// One web page on the picture over a WebSocket: to the picture server, a client of a second
// transport. Every protocol message it is sent goes out as binary frames, the Update and the
// relays, byte for byte what a Celvane window receives.
//
// The page's first frame decides what it may do. A text frame {"key":"KEY"} or {} asks to edit,
// with an editor's key or without one, and is answered by one text frame,
// {"edit":true|false,"name":"NAME"|null,"moderator":true|false}; a key that is no editor's closes
// the page (KeyCloseCode). A binary frame first (an old page, a script) asks nothing, and the page
// may edit if every page may (--web-edit). A page that may edit sends protocol messages in binary
// frames as a window's stream carries them; one that may not sends Hellos and nothing else.
// Anything else (a second text frame, an edit from a watcher, a frame too large) closes that
// page, with one log line at most.
class WebViewer : public QObject, public ClientOutput
{
    Q_OBJECT

public:
    // Frames a page that only watches may send are a few Hellos at most.
    static constexpr qint64 MaxIncomingFrame = 64;
    // The first frame: a key in a little JSON.
    static constexpr qint64 MaxFirstFrame = 1024;
    // An editing page's frames: whole messages, several rows of the largest format.
    static constexpr qint64 MaxEditorFrame = 16 * 1024;
    // A key that is no editor's, or an editor the moderation bans.
    static constexpr int KeyCloseCode = 4003;
    // The close code of a viewer turned away by the client limits, with the reason as its text:
    // one of the codes for applications' own use. (1013, "try again later", would say it too,
    // but Qt's own WebSocket client takes it for a protocol error.)
    static constexpr int TurnedAwayCloseCode = 4013;

    // descriptor is the socket's, for the kernel's share of the unsent bytes (-1: unknown).
    // access is read at the first frame and by checkAccess(); it must outlive the viewer.
    WebViewer(std::unique_ptr<QWebSocket> socket, qintptr descriptor, PictureServer *server,
              const WebAccess *access, QObject *parent = nullptr);
    ~WebViewer() override;

    // Joins the picture server, which may turn it away (then *refusal says why, and the socket
    // is closed with that reason).
    bool start(QString *refusal = nullptr);

    bool write(const QByteArray &bytes) override;
    qint64 queuedOutput() const override;
    void close() override;

    // Whether bytes hold whole Hello messages and nothing else.
    static bool isOnlyHellos(QByteArrayView bytes);

    // The access changed (a reload): an editing page that it no longer lets edit (its key gone or
    // given to another name, --web-edit turned off) is closed.
    void checkAccess();

Q_SIGNALS:
    // The connection is over; the viewer may be deleted from the event loop.
    void finished();

private:
    enum class Role { Undecided, Watcher, Editor };

    void binaryReceived(const QByteArray &bytes);
    void textReceived(const QString &text);
    // The page may edit, as editor when that is not empty; false when it was closed instead.
    bool startEditing(const QString &editor);
    void socketGone();
    // Closes a viewer that broke the rules (or whose key is refused), counted by the server as a
    // dropped client under label.
    void refuse(const QString &reason, int code = 1008, const char *label = "viewer_sent_other");

    std::unique_ptr<QWebSocket> m_socket;
    qintptr m_descriptor = -1;
    QPointer<PictureServer> m_server;
    const WebAccess *m_access = nullptr;
    Role m_role = Role::Undecided;
    QString m_editor; // the editor's name, for a page opened with a key
    QByteArray m_key; // and that key, to see whether a reload keeps it
    bool m_joined = false;
    bool m_finished = false;
    int m_closeCode = 0; // 0: abort
    QString m_closeReason;
};
