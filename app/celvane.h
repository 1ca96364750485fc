#pragma once

#include "connection/messagereader.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "ui_celvane.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>

class Canvas;
class QActionGroup;
class QColor;
class QLabel;
class QMenu;
class QTcpSocket;
class QTimer;

// The application's window: the canvas, the menus, the connection state in the status bar, and
// the one connection to the picture server. Every edit the user makes goes to the server at once.
class Celvane : public QMainWindow
{
    Q_OBJECT

public:
    enum ConnectionState { Disconnected = 0, Connecting = 1, ReceivingUpdate = 2, Connected = 3 };

    explicit Celvane(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~Celvane() override;

    const Ui::CelvaneClass &form() const { return ui; }

    // Applies a state to the menus and the status text, and repaints the window at once so that
    // the text shows even while the connect wait blocks the event loop.
    void setConnectionState(ConnectionState state);

    // Connects to a numeric address (host names are not resolved), waiting up to five seconds.
    // A failure is reported in a message box.
    void connectToServer(const QString &host, quint16 port);

    // Fills a colour menu with one checkable swatch per palette entry and checks entry current.
    QActionGroup *buildColorMenu(QMenu *menu, const QList<QColor> &palette, int current);

    // Write one message to the live connection; without one they write nothing.
    void sendCommand(quint8 opcode, quint8 a, quint8 b, quint8 c);
    void sendRow(quint8 row, quint8 count, const quint8 *cells);

    // Bytes received and not yet consumed: never more than one message, whatever the server sends.
    qsizetype pendingBytes() const { return receiveBuffer.pendingBytes(); }

    // How long a new connection may go without a usable picture before it is given up: ten
    // seconds, unless a test asks for less. Applies to connections made afterwards.
    static void setPictureDeadline(int milliseconds);

private Q_SLOTS:
    void OnActionConnect();
    void OnActionDisconnect();
    void OnActionClear();
    void OnActionLoadImage();
    void OnActionBorderColor(QAction *action);
    void OnActionBackgroundColor(QAction *action);
    void OnActionPenColor(QAction *action);
    void OnSocketConnected();
    void OnSocketDisconnected();
    void OnSocketReadReady();
    void OnCellChanged(uint8 x, uint8 y, uint8 color);

private:
    // frameMenusEnabled: an Update skipped in favour of this one would have enabled the border
    // and background menus.
    void applyUpdate(const Protocol::UpdateMessage &update, bool frameMenusEnabled = false);
    // Gives up the connection being made and says why in the box of a failed connect.
    void abandonConnection(const QString &reason);
    void OnPictureDeadline();
    // Applies one edit relayed by the server to the canvas without repainting it, as though it
    // came from no one: nothing is sent, CellChanged stays silent and the pen is left alone.
    // False for a relay that does not fit the picture shown, which is skipped.
    bool applyRelay(quint8 kind, QByteArrayView payload);
    // Checks the entry of a colour menu for index, or none when the palette has no such entry.
    static void markColorMenu(QMenu *menu, int index);
    bool isConnected() const;
    // Empties a colour menu of its entries and of the group that made them exclusive.
    static void clearColorMenu(QMenu *menu);
    // Stops listening to the socket and hands it to the event loop for deletion.
    void releaseSocket();

    Ui::CelvaneClass ui;
    QLabel *statusLabel = nullptr;
    Canvas *canvas = nullptr;
    // Cleared when the socket is released, and guarded besides: a nested event loop (a dialog, a
    // message box) may run the deferred deletion while a slot still holds on to the window.
    QPointer<QTcpSocket> socket;
    MessageReader receiveBuffer;
    // The address of the connection being made, as the user gave it, for the failure box.
    QString serverHost;
    quint16 serverPort = 0;
    // Runs the next slice of a long read once the event loop has had its turn.
    QTimer *readTimer = nullptr;
    QTimer *pictureDeadline = nullptr;
    // The installed Update announced that the server relays every edit: kinds 3 and 4 from it
    // are then edits to apply, and skipped otherwise.
    bool relaysAnnounced = false;
};
