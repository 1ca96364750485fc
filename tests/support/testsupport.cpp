#include "tests/support/testsupport.h"

#include "app/celvane.h"
#include "canvas/canvas.h"
#include "model/canvasformat.h"

#include <QAction>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdlib>

namespace TestSupport {

bool waitUntil(const std::function<bool()> &predicate, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds, Qt::PreciseTimer);
    // Wakes the loop when nothing else does, to look at the predicate and the deadline again.
    QTimer nudge;
    nudge.setInterval(10);
    nudge.start();
    while (!predicate()) {
        if (deadline.hasExpired())
            return predicate();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

Canvas *canvasOf(const Celvane &window)
{
    return qobject_cast<Canvas *>(window.centralWidget());
}

QLabel *statusLabelOf(const Celvane &window)
{
    const QList<QLabel *> labels =
        window.statusBar()->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
    return labels.size() == 1 ? labels.first() : nullptr;
}

QString statusText(const Celvane &window)
{
    const QLabel *label = statusLabelOf(window);
    return label ? label->text() : QStringLiteral("<no status label>");
}

QTcpSocket *liveSocketOf(const Celvane &window)
{
    const auto sockets = window.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket *socket : sockets) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            return socket;
    }
    return nullptr;
}

int checkedIndex(const QMenu *menu)
{
    const QList<QAction *> actions = menu->actions();
    for (int i = 0; i < actions.size(); ++i) {
        if (actions.at(i)->isChecked())
            return i;
    }
    return -1;
}

QByteArray cellsOf(const Canvas *canvas)
{
    QByteArray cells;
    const CanvasFormat *format = canvas ? canvas->format() : nullptr;
    if (!format)
        return cells;
    for (int y = 0; y < format->rows; ++y) {
        for (int x = 0; x < format->columns; ++x)
            cells.append(char(canvas->cell(x, y)));
    }
    return cells;
}

QByteArray rawHeader(int kind, int length, int reserved)
{
    QByteArray out;
    out.append(char(kind));
    out.append(char(reserved));
    out.append(char(length & 0xff));
    out.append(char((length >> 8) & 0xff));
    return out;
}

QByteArray rawMessage(int kind, QByteArrayView payload, int reserved)
{
    return rawHeader(kind, int(payload.size()), reserved).append(payload);
}

QByteArray patternCells(int formatNumber)
{
    const CanvasFormat &format = *canvasFormats().at(formatNumber);
    QByteArray cells(format.cellCount(), '\0');
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x)
            cells[y * format.columns + x] = char((x + 3 * y) % format.palette.size());
    }
    return cells;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

namespace {

QString *settingsFolder = nullptr;

void removeSettingsFolder()
{
    QDir(*settingsFolder).removeRecursively();
    delete settingsFolder;
    settingsFolder = nullptr;
}

} // namespace

void isolateSettings()
{
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/celvane-test-settings-XXXXXX"));
    folder.setAutoRemove(false);
    settingsFolder = new QString(folder.path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(*settingsFolder));
    // Registered before anything can register the save of the connection preferences, so it
    // runs after that save.
    std::atexit(removeSettingsFolder);
}

} // namespace TestSupport
