#include "tests/support/testsupport.h"

#include "app/celvane.h"
#include "canvas/canvas.h"
#include "model/canvasformat.h"

#include <QDir>
#include <QLabel>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdlib>

namespace TestSupport {

Canvas *canvasOf(const Celvane &window)
{
    return qobject_cast<Canvas *>(window.centralWidget());
}

QLabel *statusLabelOf(const Celvane &window)
{
    // The status bar holds no other label of the window's own.
    return window.statusBar()->findChild<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
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
