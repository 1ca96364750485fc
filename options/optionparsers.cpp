#include "options/optionparsers.h"

namespace OptionParsers {

namespace {

// The problem text with the value quoted after it, so the operator sees what was read.
QString quoted(const QString &problem, const QString &text)
{
    return problem.contains(QLatin1String("%1")) ? problem.arg(text) : problem;
}

} // namespace

Option::Parser text()
{
    return [](const QString &text, QString *) -> std::optional<QVariant> {
        return text;
    };
}

Option::Parser integer(qint64 min, qint64 max, const QString &problem)
{
    return [=](const QString &text, QString *error) -> std::optional<QVariant> {
        bool ok = false;
        const qint64 number = text.trimmed().toLongLong(&ok);
        if (!ok || number < min || number > max) {
            *error = quoted(problem, text);
            return std::nullopt;
        }
        return QVariant::fromValue(number);
    };
}

Option::Parser seconds(const QString &problem)
{
    return [=](const QString &text, QString *error) -> std::optional<QVariant> {
        bool ok = false;
        const double seconds = text.trimmed().toDouble(&ok);
        if (!ok || !(seconds >= 0) || seconds > 86400) {
            *error = quoted(problem, text);
            return std::nullopt;
        }
        return QVariant(int(seconds * 1000 + 0.5));
    };
}

Option::Parser byteSize(const QString &problem)
{
    return [=](const QString &text, QString *error) -> std::optional<QVariant> {
        QString digits = text.trimmed().toUpper();
        qint64 unit = 1;
        if (digits.endsWith(QLatin1Char('K')))
            unit = 1LL << 10;
        else if (digits.endsWith(QLatin1Char('M')))
            unit = 1LL << 20;
        else if (digits.endsWith(QLatin1Char('G')))
            unit = 1LL << 30;
        if (unit > 1)
            digits.chop(1);
        bool ok = false;
        const qint64 count = digits.toLongLong(&ok);
        if (!ok || count < 0 || count > (1LL << 50) / unit) {
            *error = quoted(problem, text);
            return std::nullopt;
        }
        return QVariant::fromValue(count * unit);
    };
}

Option::Parser address(const QString &problem)
{
    return [=](const QString &text, QString *error) -> std::optional<QVariant> {
        const QHostAddress parsed(text.trimmed());
        if (parsed.isNull()) {
            *error = quoted(problem, text);
            return std::nullopt;
        }
        return QVariant::fromValue(parsed);
    };
}

Option::Parser subnet(const QString &problem)
{
    return [=](const QString &text, QString *error) -> std::optional<QVariant> {
        const QPair<QHostAddress, int> parsed = QHostAddress::parseSubnet(text.trimmed());
        if (parsed.first.isNull()) {
            *error = quoted(problem, text);
            return std::nullopt;
        }
        return QVariant::fromValue(parsed);
    };
}

std::optional<bool> flagValue(const QString &text)
{
    const QString word = text.trimmed().toLower();
    for (const char *yes : {"yes", "true", "on", "1"}) {
        if (word == QLatin1String(yes))
            return true;
    }
    for (const char *no : {"no", "false", "off", "0"}) {
        if (word == QLatin1String(no))
            return false;
    }
    return std::nullopt;
}

} // namespace OptionParsers
