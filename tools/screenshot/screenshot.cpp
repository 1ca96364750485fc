#include "app/celvane.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QWindow>

#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "celvane-screenshot: %s\n", qPrintable(message));
    return 1;
}

bool statusShows(const QMainWindow &window, const QString &text)
{
    const QList<QLabel *> labels = window.statusBar()->findChildren<QLabel *>();
    for (const QLabel *label : labels) {
        if (label->text() == text)
            return true;
    }
    return false;
}

// Runs the event loop until done() holds or the time is up.
template <typename Done> bool waitFor(Done done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Connects the Celvane window to a picture server on 127.0.0.1 and saves a PNG of it."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("The server's port on 127.0.0.1."),
                                        QStringLiteral("N"));
    const QCommandLineOption outputOption(
        QStringLiteral("output"), QStringLiteral("PNG file to write."), QStringLiteral("FILE"));
    const QCommandLineOption besideOption(
        QStringLiteral("beside"),
        QStringLiteral("An image (the web page, say) to put to the right of the window."),
        QStringLiteral("FILE"));
    parser.addOptions({portOption, outputOption, besideOption});
    parser.process(application);

    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return fail(QStringLiteral("--port needs the server's port"));
    if (!parser.isSet(outputOption))
        return fail(QStringLiteral("--output needs a file name"));

    Celvane window;
    window.show();
    if (!waitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); },
                 10000))
        return fail(QStringLiteral("the window was never shown"));

    // Loopback only: the harness is for a server that the calling script started itself.
    window.connectToServer(QStringLiteral("127.0.0.1"), quint16(port));
    const QString connected = QStringLiteral("Connected");
    if (!waitFor([&] { return statusShows(window, connected); }, 10000))
        return fail(QStringLiteral("the window did not reach \"Connected\""));

    // Let the X server catch up with the last paint before reading its pixels back.
    window.repaint();
    waitFor([] { return false; }, 500);

    // The pixels as the display shows them, not a fresh render of the widgets: what a user sees.
    const QRect area = window.frameGeometry();
    QPixmap shot = window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (parser.isSet(besideOption) && !shot.isNull()) {
        const QPixmap beside(parser.value(besideOption));
        if (beside.isNull())
            return fail(QStringLiteral("cannot read %1").arg(parser.value(besideOption)));
        // Side by side on white, the other image's top level with the top of the window's
        // canvas (below its menu bar), with a gap that keeps the two apart.
        constexpr int Gap = 16;
        const int top = window.centralWidget() ? window.centralWidget()->y() : 0;
        QPixmap both(shot.width() + Gap + beside.width(),
                     qMax(shot.height(), top + beside.height()));
        both.fill(Qt::white);
        QPainter painter(&both);
        painter.drawPixmap(0, 0, shot);
        painter.drawPixmap(shot.width() + Gap, top, beside);
        painter.end();
        shot = both;
    }
    if (shot.isNull() || !shot.save(parser.value(outputOption), "PNG"))
        return fail(QStringLiteral("cannot write %1").arg(parser.value(outputOption)));
    return 0;
}
