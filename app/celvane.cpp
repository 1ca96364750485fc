#include "app/celvane.h"

#include "canvas/canvas.h"
#include "connection/batchplan.h"
#include "dialogs/connectdialog.h"
#include "model/imagetocells.h"
#include "settings/connectionpreferences.h"

#include <QAction>
#include <QActionGroup>
#include <QFileDialog>
#include <QHostAddress>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTimer>

Q_LOGGING_CATEGORY(lcConnection, "celvane.connection", QtWarningMsg)

namespace {

constexpr int ConnectTimeoutMs = 5000;
constexpr int SwatchSize = 10;
// How long closing the window may wait for edits still on their way out.
constexpr int ClosingTimeoutMs = 3000;
// The most read from the socket between two turns of the event loop. Installing a picture costs
// far more than cutting messages, and only the last one of a slice is installed, so the slice
// can be large; what bounds it is the memory held for incoming data and the time one pass takes.
constexpr qint64 ReadSliceSize = 64 * 1024;
// Qt's own buffer stops taking bytes from the system at this size, so that a server sending
// faster than the window reads fills the system's queue, not the window's memory.
constexpr qint64 SocketBufferSize = 64 * 1024;

int pictureDeadlineMs = 10000;

} // namespace

Celvane::Celvane(QWidget *parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{
    ui.setupUi(this);

    statusLabel = new QLabel();
    statusBar()->addPermanentWidget(statusLabel, 0);

    canvas = new Canvas();
    setCentralWidget(canvas);
    // The window disposes of the form's placeholder; the form must not keep pointing at it.
    ui.centralWidget = nullptr;

    connect(ui.actionConnect, &QAction::triggered, this, &Celvane::OnActionConnect);
    connect(ui.actionDisconnect, &QAction::triggered, this, &Celvane::OnActionDisconnect);
    connect(ui.actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(ui.actionClear, &QAction::triggered, this, &Celvane::OnActionClear);
    connect(ui.actionLoadImage, &QAction::triggered, this, &Celvane::OnActionLoadImage);
    connect(ui.menuBorderColor, &QMenu::triggered, this, &Celvane::OnActionBorderColor);
    connect(ui.menuBackgroundColor, &QMenu::triggered, this, &Celvane::OnActionBackgroundColor);
    connect(ui.menuDrawingColor, &QMenu::triggered, this, &Celvane::OnActionPenColor);
    connect(canvas, &Canvas::CellChanged, this, &Celvane::OnCellChanged);

    readTimer = new QTimer(this);
    readTimer->setSingleShot(true);
    readTimer->setInterval(0);
    connect(readTimer, &QTimer::timeout, this, &Celvane::OnSocketReadReady);
    pictureDeadline = new QTimer(this);
    pictureDeadline->setSingleShot(true);
    connect(pictureDeadline, &QTimer::timeout, this, &Celvane::OnPictureDeadline);

    setConnectionState(Disconnected);
}

Celvane::~Celvane()
{
    if (!socket)
        return;
    // The socket is destroyed with the window's children, after this object has stopped being
    // a Celvane; its closing notification must not reach the slots then.
    socket->disconnect(this);
    // Qt writes to the system only when the event loop runs, and that has ended: an image
    // imported or a burst of edits made just before quitting may still wait in the socket's
    // buffer, and destroying the socket throws it away. A graceful disconnect writes it out
    // first; a server that takes nothing for three seconds loses the rest.
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState &&
        !socket->waitForDisconnected(ClosingTimeoutMs))
        qCWarning(lcConnection) << socket->bytesToWrite() << "bytes not written before closing";
}

void Celvane::setPictureDeadline(int milliseconds)
{
    pictureDeadlineMs = milliseconds;
}

void Celvane::setConnectionState(ConnectionState state)
{
    switch (state) {
    case Disconnected:
        ui.menuBar->setEnabled(true);
        ui.actionConnect->setEnabled(true);
        ui.actionDisconnect->setEnabled(false);
        ui.actionClear->setEnabled(false);
        ui.actionLoadImage->setEnabled(false);
        ui.menuBackgroundColor->setEnabled(false);
        ui.menuBorderColor->setEnabled(false);
        ui.menuDrawingColor->setEnabled(false);
        statusLabel->setText(QStringLiteral("Disconnected"));
        break;
    case Connecting:
        ui.menuBar->setEnabled(false);
        statusLabel->setText(QStringLiteral("Connecting..."));
        break;
    case ReceivingUpdate:
        ui.menuBar->setEnabled(false);
        statusLabel->setText(QStringLiteral("Receiving update..."));
        break;
    case Connected:
        ui.menuBar->setEnabled(true);
        ui.actionConnect->setEnabled(false);
        ui.actionDisconnect->setEnabled(true);
        ui.actionClear->setEnabled(true);
        ui.actionLoadImage->setEnabled(true);
        statusLabel->setText(QStringLiteral("Connected"));
        break;
    }
    repaint();
}

// --- Connection -------------------------------------------------------------------------------

void Celvane::OnActionConnect()
{
    ConnectDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const quint16 port = connectionPreferences().port;
    const QString host = connectionPreferences().host;
    connectToServer(host, port);
}

void Celvane::connectToServer(const QString &host, quint16 port)
{
    // Whatever an earlier connection left half-received must never be read as the start of
    // this connection's stream.
    receiveBuffer.clear();
    serverHost = host;
    serverPort = port;
    relaysAnnounced = false;

    socket = new QTcpSocket(this);
    socket->setReadBufferSize(SocketBufferSize);
    connect(socket, &QTcpSocket::connected, this, &Celvane::OnSocketConnected);
    connect(socket, &QTcpSocket::disconnected, this, &Celvane::OnSocketDisconnected);
    connect(socket, &QTcpSocket::readyRead, this, &Celvane::OnSocketReadReady);

    setConnectionState(Connecting);

    socket->connectToHost(QHostAddress(host), port, QIODevice::ReadWrite);
    if (socket->waitForConnected(ConnectTimeoutMs))
        return;

    abandonConnection(socket->errorString());
}

void Celvane::abandonConnection(const QString &reason)
{
    // A timed-out attempt is still under way: abandon it before the message box's event loop
    // runs, or it could connect behind the box and install a picture the window then forgets.
    QPointer<QTcpSocket> failed = socket;
    pictureDeadline->stop();
    readTimer->stop();
    receiveBuffer.clear();
    if (failed) {
        failed->disconnect(this);
        failed->abort();
    }
    socket = nullptr;

    // One pass over both placeholders: the host text goes in unchanged even when it holds a
    // "%1" of its own, as an IPv6 scope can.
    QMessageBox::information(
        this, tr("Unable to connect to %1:%2.").arg(serverHost, QString::number(serverPort)),
        reason, QMessageBox::Ok, QMessageBox::NoButton);

    if (failed)
        failed->deleteLater();
    setConnectionState(Disconnected);
}

void Celvane::OnPictureDeadline()
{
    // The menu bar stays disabled until a picture arrives, Disconnect and Quit included: a
    // server that never sends one must not hold the window for ever.
    if (socket)
        abandonConnection(tr("The server sent no picture."));
}

void Celvane::OnActionDisconnect()
{
    if (socket)
        socket->disconnectFromHost();
}

void Celvane::OnSocketConnected()
{
    if (socket)
        socket->write(Protocol::encodeHello());
    setConnectionState(ReceivingUpdate);
    pictureDeadline->start(pictureDeadlineMs);
}

void Celvane::OnSocketDisconnected()
{
    setConnectionState(Disconnected);
    canvas->setFormat(nullptr);
    receiveBuffer.clear();
    relaysAnnounced = false;
    releaseSocket();
}

void Celvane::releaseSocket()
{
    pictureDeadline->stop();
    readTimer->stop();
    if (!socket)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    socket = nullptr;
}

bool Celvane::isConnected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

void Celvane::OnSocketReadReady()
{
    if (!socket)
        return;
    // One slice per pass, however much the server has sent: what it sends must not keep the
    // window from painting and answering the user.
    receiveBuffer.append(socket->read(ReadSliceSize));

    QList<MessageReader::Message> batch;
    MessageReader::Message message;
    while (receiveBuffer.next(&message))
        batch.append(message);
    const BatchPlan plan = planBatch(batch);
    if (plan.lastUpdate >= 0) {
        applyUpdate(*Protocol::decodeUpdate(batch.at(plan.lastUpdate).payload),
                    plan.supersededFrameColors);
    }
    // Relayed edits after the installed picture change the canvas silently, in the server's
    // order; the ones of this slice show with one repaint at the end. Those before it are
    // already part of it.
    bool relayed = false;
    if (relaysAnnounced) {
        for (qsizetype i = plan.lastUpdate + 1; i < batch.size(); ++i) {
            if (batch.at(i).kind != Protocol::Update &&
                applyRelay(batch.at(i).kind, batch.at(i).payload))
                relayed = true;
        }
    }
    if (relayed)
        canvas->repaint();

    if (socket && socket->bytesAvailable() > 0)
        readTimer->start();
}

bool Celvane::applyRelay(quint8 kind, QByteArrayView payload)
{
    const CanvasFormat *format = canvas->format();
    const auto edit = format ? Protocol::decodeRelayedEdit(kind, payload, *format) : std::nullopt;
    if (!edit) {
        qCDebug(lcConnection) << "skipped a relayed message of kind" << kind << "and"
                              << payload.size() << "bytes that does not fit the picture";
        return false;
    }
    switch (edit->type) {
    case Protocol::RelayedEdit::Clear:
        canvas->clear(Canvas::RepaintLater);
        break;
    case Protocol::RelayedEdit::SetColors:
        canvas->setBorderColor(edit->a, Canvas::RepaintLater);
        canvas->setBackgroundColor(edit->b, Canvas::RepaintLater);
        markColorMenu(ui.menuBorderColor, edit->a);
        markColorMenu(ui.menuBackgroundColor, edit->b);
        break;
    case Protocol::RelayedEdit::SetCell:
        canvas->setCell(edit->a, edit->b, edit->c, Canvas::RepaintLater);
        break;
    case Protocol::RelayedEdit::Row:
        canvas->setRow(edit->a, reinterpret_cast<const uint8 *>(edit->cells.data()),
                       Canvas::RepaintLater);
        break;
    }
    return true;
}

void Celvane::applyUpdate(const Protocol::UpdateMessage &update, bool frameMenusEnabled)
{
    pictureDeadline->stop();

    const CanvasFormat *format = update.format;
    const auto *cells = reinterpret_cast<const uint8 *>(update.cells.data());

    // The server's picture is the truth: a further Update for the format already shown
    // replaces the cells as well, which installing the same format again would not.
    if (canvas->format() == format)
        canvas->replaceCells(cells);
    else
        canvas->setFormat(format, cells);
    canvas->setBorderColor(update.border);
    canvas->setBackgroundColor(update.background);
    canvas->setPenColor(1);
    relaysAnnounced = update.relaysEdits;

    clearColorMenu(ui.menuBorderColor);
    clearColorMenu(ui.menuBackgroundColor);
    clearColorMenu(ui.menuDrawingColor);
    if (format->hasFrameColors) {
        buildColorMenu(ui.menuBorderColor, format->palette, canvas->borderColor());
        buildColorMenu(ui.menuBackgroundColor, format->palette, canvas->backgroundColor());
    }
    // A two-colour format leaves the frame menus as an earlier picture left them.
    if (format->hasFrameColors || frameMenusEnabled) {
        ui.menuBackgroundColor->setEnabled(true);
        ui.menuBorderColor->setEnabled(true);
    }
    buildColorMenu(ui.menuDrawingColor, format->palette, canvas->penColor());
    ui.menuDrawingColor->setEnabled(true);

    setConnectionState(Connected);
}

void Celvane::sendCommand(quint8 opcode, quint8 a, quint8 b, quint8 c)
{
    if (isConnected())
        socket->write(Protocol::encodeCommand(opcode, a, b, c));
}

void Celvane::sendRow(quint8 row, quint8 count, const quint8 *cells)
{
    if (isConnected())
        socket->write(Protocol::encodeRowData(row, count, cells));
}

void Celvane::OnCellChanged(uint8 x, uint8 y, uint8 color)
{
    sendCommand(Protocol::SetCellCommand, x, y, color);
}

void Celvane::OnActionClear()
{
    canvas->clear();
    sendCommand(Protocol::ClearCommand, 0, 0, 0);
}

// --- Colour menus -----------------------------------------------------------------------------

void Celvane::clearColorMenu(QMenu *menu)
{
    menu->clear();
    // QMenu::clear() deletes the actions but not the group that held them; without this every
    // received picture would leave one more empty group behind in each menu.
    qDeleteAll(menu->findChildren<QActionGroup *>(QString(), Qt::FindDirectChildrenOnly));
}

void Celvane::markColorMenu(QMenu *menu, int index)
{
    // Menus of a format without frame colours are empty, and stay so.
    for (QAction *action : menu->actions())
        action->setChecked(action->data().toInt() == index);
}

QActionGroup *Celvane::buildColorMenu(QMenu *menu, const QList<QColor> &palette, int current)
{
    auto *group = new QActionGroup(menu);
    group->setExclusive(true);
    for (int i = 0; i < palette.size(); ++i) {
        auto *action = new QAction(menu);
        action->setText(palette.at(i).name());
        QPixmap swatch(SwatchSize, SwatchSize);
        swatch.fill(palette.at(i));
        action->setIcon(QIcon(swatch));
        action->setCheckable(true);
        action->setData(i);
        action->setIconVisibleInMenu(true);
        group->addAction(action);
        if (i == current)
            action->setChecked(true);
    }
    menu->addActions(group->actions());
    return group;
}

void Celvane::OnActionBorderColor(QAction *action)
{
    canvas->setBorderColor(uint8(action->data().toInt()));
    sendCommand(Protocol::SetColorsCommand, canvas->borderColor(), canvas->backgroundColor(), 0);
}

void Celvane::OnActionBackgroundColor(QAction *action)
{
    canvas->setBackgroundColor(uint8(action->data().toInt()));
    sendCommand(Protocol::SetColorsCommand, canvas->borderColor(), canvas->backgroundColor(), 0);
}

void Celvane::OnActionPenColor(QAction *action)
{
    canvas->setPenColor(uint8(action->data().toInt()));
}

// --- Image import -----------------------------------------------------------------------------

void Celvane::OnActionLoadImage()
{
    const QString fileName =
        QFileDialog::getOpenFileName(this, QStringLiteral("Choose Image"), QString(),
                                     QStringLiteral("Image Files (*.png *.jpg *.gif *.bmp)"));
    if (fileName.isEmpty())
        return;

    const QImage source(fileName);
    if (source.width() == 0 || source.height() == 0) {
        QMessageBox::warning(this, QStringLiteral("Error"), QStringLiteral("Unable to open image."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    // The file dialog ran an event loop: the connection may have ended, or an Update may have
    // installed another format, while it was open.
    const CanvasFormat *format = canvas->format();
    if (!format || !isConnected())
        return;

    const QImage cells = imageToCells(source, *format);
    for (int y = 0; y < format->rows; ++y) {
        const uchar *line = cells.constScanLine(y);
        for (int x = 0; x < format->columns; ++x)
            canvas->setCell(uint8(x), uint8(y), line[x]);
        sendRow(uint8(y), uint8(format->columns), line);
    }
}
