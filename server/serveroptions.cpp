#include "server/serveroptions.h"

#include "connection/protocol.h"
#include "options/optionparsers.h"
#include "server/picture.h"
#include "server/pictureserver.h"

#include <limits>

OptionTable serverOptionTable()
{
    using namespace OptionParsers;
    const QString seconds = QStringLiteral("needs a number of seconds");
    return {
        {QStringLiteral("listen"), QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"),
         QStringLiteral("Numeric address to listen on (127.0.0.1)."), Option::NeedsRestart, false,
         address(QStringLiteral("needs a numeric address, not \"%1\""))},
        {QStringLiteral("port"), QStringLiteral("N"), QString::number(Protocol::DefaultPort),
         QStringLiteral("TCP port (%1); 0 picks a free one.").arg(Protocol::DefaultPort),
         Option::NeedsRestart, false,
         integer(0, 65535, QStringLiteral("needs a number from 0 to 65535"))},
        {QStringLiteral("format"), QStringLiteral("0..3"), QString::number(Picture::DefaultFormat),
         QStringLiteral("Format of a new picture: 0 and 1 two colours (40x25, 80x25), 2 eight "
                        "colours (22x23), 3 sixteen colours (40x25). Default 3."),
         Option::NeedsRestart, false, integer(0, 3, QStringLiteral("needs a number from 0 to 3"))},
        {QStringLiteral("demo"), QString(), QString(),
         QStringLiteral("Start with a sample scene instead of an empty picture (unless --picture "
                        "names an existing file)."),
         Option::NeedsRestart, false, nullptr},
        {QStringLiteral("max-clients"), QStringLiteral("N"), QString(),
         QStringLiteral("Clients served at once (as many as the descriptor limit allows, up to "
                        "%1); more are turned away.")
             .arg(PictureServer::DefaultMaxClients),
         Option::Live, false,
         integer(1, std::numeric_limits<int>::max(),
                 QStringLiteral("needs a number of at least 1"))},
        {QStringLiteral("max-per-address"), QStringLiteral("N"),
         QString::number(PictureServer::DefaultMaxPerAddress),
         QStringLiteral("Clients served at once from one address (%1); more are turned away.")
             .arg(PictureServer::DefaultMaxPerAddress),
         Option::Live, false,
         integer(1, std::numeric_limits<int>::max(),
                 QStringLiteral("needs a number of at least 1"))},
        {QStringLiteral("hello-timeout"), QStringLiteral("SECONDS"),
         QString::number(PictureServer::DefaultHelloTimeoutMs / 1000),
         QStringLiteral("Seconds a new connection has to send its Hello (%1); 0 waits for ever.")
             .arg(PictureServer::DefaultHelloTimeoutMs / 1000),
         Option::Live, false, OptionParsers::seconds(seconds)},
        {QStringLiteral("stall-timeout"), QStringLiteral("SECONDS"),
         QString::number(PictureServer::DefaultStallTimeoutMs / 1000),
         QStringLiteral("Seconds a message may take from its first byte to its last (%1); 0 "
                        "waits for ever.")
             .arg(PictureServer::DefaultStallTimeoutMs / 1000),
         Option::Live, false, OptionParsers::seconds(seconds)},
        {QStringLiteral("keepalive"), QStringLiteral("SECONDS"),
         QString::number(PictureServer::DefaultKeepAliveSeconds),
         QStringLiteral("Seconds of silence before TCP keepalive probes a client (%1); a peer "
                        "that has gone away is then closed. 0 turns probing off.")
             .arg(PictureServer::DefaultKeepAliveSeconds),
         Option::Live, false, integer(0, 86400, QStringLiteral("needs a whole number of seconds"))},
        {QStringLiteral("allow"), QStringLiteral("ADDRESS[/PREFIX]"), QString(),
         QStringLiteral("Accept connections only from this address or subnet (repeatable); "
                        "others are closed at once."),
         Option::Live, true, subnet(QStringLiteral("needs ADDRESS or ADDRESS/PREFIX, not \"%1\""))},
        {QStringLiteral("read-only"), QString(), QString(),
         QStringLiteral("Serve the picture but refuse every edit."), Option::Live, false, nullptr},
        {QStringLiteral("cooldown"), QStringLiteral("SECONDS"), QStringLiteral("0"),
         QStringLiteral("Each address may change one cell per SECONDS, and nothing else; other "
                        "edits are refused and put right in the sender's window. 0 (the default) "
                        "sets no bound. For a picture open to the public: a well-known public "
                        "canvas used 300; smaller ones start at 15 and wait longer as more people "
                        "draw."),
         Option::Live, false, OptionParsers::seconds(seconds)},
        {QStringLiteral("max-edits-per-second"), QStringLiteral("N"),
         QString::number(PictureServer::DefaultMaxEditsPerSecond),
         QStringLiteral("Edits applied per second from one connection (%1, twice that at once); "
                        "a faster sender is read more slowly. 0 sets no bound.")
             .arg(PictureServer::DefaultMaxEditsPerSecond),
         Option::Live, false,
         integer(0, 100000000, QStringLiteral("needs a number of at least 0"))},
        {QStringLiteral("verbose"), QString(), QString(),
         QStringLiteral("Log every message received."), Option::Live, false, nullptr},
    };
}
