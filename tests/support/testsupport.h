#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <functional>

class Canvas;
class Celvane;
class QLabel;
class QMenu;
class QTcpSocket;

// Helpers shared by the tests that drive the main window.
namespace TestSupport {

// The window's central canvas.
Canvas *canvasOf(const Celvane &window);
// The permanent label in the status bar that shows the connection state: the status bar's only
// label of its own, or nullptr if it holds none or several.
QLabel *statusLabelOf(const Celvane &window);
// That label's text.
QString statusText(const Celvane &window);
// The window's socket that is still connected, or nullptr.
QTcpSocket *liveSocketOf(const Celvane &window);

// The position of a menu's checked entry, or -1 when none is checked.
int checkedIndex(const QMenu *menu);

// The canvas's cells row by row, as an Update carries them; empty while it has no picture.
QByteArray cellsOf(const Canvas *canvas);

// A message's header (kind, reserved byte, little-endian length) written out byte by byte rather
// than by the program's own encoder, and the same followed by its payload.
QByteArray rawHeader(int kind, int length, int reserved = 0);
QByteArray rawMessage(int kind, QByteArrayView payload, int reserved = 0);

// rows x columns cell bytes of a format, cell (x, y) = (x + 3 y) modulo the palette size, so that
// neighbouring cells and rows differ.
QByteArray patternCells(int formatNumber);

// A whole file's bytes (empty if it cannot be read), and a file written whole.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// Spins the event loop until the predicate holds, for at most this long; whether it holds. Unlike
// QTest::qWaitFor, which sleeps 10 ms whenever the predicate is still false, this sleeps only
// until the next event (bytes on a socket, a timer), so a wait that takes many turns of the loop,
// such as a long stream between two sockets of this process, costs no idle time. Conditions that
// no event of this process signals are still looked at every 10 ms.
bool waitUntil(const std::function<bool()> &predicate, int milliseconds = 5000);

// Points XDG_CONFIG_HOME at a fresh temporary folder that is removed at process exit, after the
// settings saved at exit have been written. Call first thing in main(), before QApplication.
void isolateSettings();

} // namespace TestSupport

// QTEST_MAIN with the user's settings kept out of reach.
#define CELVANE_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TestSupport::isolateSettings();                                                            \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
