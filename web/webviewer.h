#pragma once

#include "server/clientoutput.h"

#include <QObject>
#include <QPointer>

#include <memory>

class PictureServer;
class QWebSocket;

// One web page watching the picture over a WebSocket: to the picture server, a client of a second
// transport. Every protocol message it is sent goes out as binary frames, the Update and the
// relays, byte for byte what a Celvane window receives. A viewer never edits: it may send Hellos
// in binary frames and nothing else; anything else closes it.
class WebViewer : public QObject, public ClientOutput
{
    Q_OBJECT

public:
    // Frames a viewer may send are a few Hellos at most.
    static constexpr qint64 MaxIncomingFrame = 64;
    // The close code of a viewer turned away by the client limits, with the reason as its text:
    // one of the codes for applications' own use. (1013, "try again later", would say it too,
    // but Qt's own WebSocket client takes it for a protocol error.)
    static constexpr int TurnedAwayCloseCode = 4013;

    // descriptor is the socket's, for the kernel's share of the unsent bytes (-1: unknown).
    WebViewer(std::unique_ptr<QWebSocket> socket, qintptr descriptor, PictureServer *server,
              QObject *parent = nullptr);
    ~WebViewer() override;

    // Joins the picture server, which may turn it away (then *refusal says why, and the socket
    // is closed with that reason).
    bool start(QString *refusal = nullptr);

    bool write(const QByteArray &bytes) override;
    qint64 queuedOutput() const override;
    void close() override;

    // Whether bytes hold whole Hello messages and nothing else.
    static bool isOnlyHellos(QByteArrayView bytes);

Q_SIGNALS:
    // The connection is over; the viewer may be deleted from the event loop.
    void finished();

private:
    void binaryReceived(const QByteArray &bytes);
    void textReceived();
    void socketGone();
    // Closes a viewer that broke the rules, counted by the server as a dropped client.
    void refuse(const QString &reason);

    std::unique_ptr<QWebSocket> m_socket;
    qintptr m_descriptor = -1;
    QPointer<PictureServer> m_server;
    bool m_joined = false;
    bool m_finished = false;
    int m_closeCode = 0; // 0: abort
    QString m_closeReason;
};
