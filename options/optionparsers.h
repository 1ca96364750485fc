#pragma once

#include "options/option.h"

#include <QHostAddress>
#include <QPair>

// The parsers that several options share. Each returns a parser for Option::parse whose values
// are of the type named, and whose problem text is the one given, or a standard one.
namespace OptionParsers {

// Any text, as a QString.
Option::Parser text();
// A whole number from min to max, as a qint64.
Option::Parser integer(qint64 min, qint64 max, const QString &problem);
// Seconds, fractions allowed, up to a day, as whole milliseconds (an int).
Option::Parser seconds(const QString &problem);
// A size in bytes with an optional K, M or G (powers of 1024), as a qint64.
Option::Parser byteSize(const QString &problem);
// A numeric IPv4 or IPv6 address, as a QHostAddress.
Option::Parser address(const QString &problem);
// ADDRESS or ADDRESS/PREFIX, as a QPair<QHostAddress, int> (QHostAddress::parseSubnet's).
Option::Parser subnet(const QString &problem);

// How a flag is written in a configuration file: yes/no, true/false, on/off, 1/0.
std::optional<bool> flagValue(const QString &text);

} // namespace OptionParsers
