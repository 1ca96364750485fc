#include "options/optionset.h"

#include "options/optionparsers.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QHash>

namespace {

// The largest configuration file read: far beyond any real one, and a bound on what a mistaken
// path (a device, a huge log) can make the server hold.
constexpr qint64 MaxFileSize = 1 << 20;

} // namespace

void OptionSet::add(const OptionTable &table)
{
    for (const Option &option : table) {
        Q_ASSERT_X(!find(option.name), "OptionSet::add", "an option declared twice");
        m_options.push_back(option);
    }
}

const Option *OptionSet::find(const QString &name) const
{
    for (const Option &option : m_options) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

void OptionSet::addTo(QCommandLineParser *parser) const
{
    for (const Option &option : m_options)
        parser->addOption(QCommandLineOption(option.name, option.help, option.argument));
}

bool OptionSet::read(const QCommandLineParser &parser, OptionValues *values, QString *error) const
{
    const QString origin = QStringLiteral("command line");
    for (const Option &option : m_options) {
        if (!parser.isSet(option.name))
            continue;
        if (option.isFlag()) {
            values->add(option.name, QStringLiteral("yes"), true, origin);
            continue;
        }
        // A single option given twice on the command line counts once, the last time, as
        // command lines are read everywhere.
        QStringList texts = parser.values(option.name);
        if (!option.repeatable)
            texts = QStringList{texts.last()};
        for (const QString &text : texts) {
            QString problem;
            const std::optional<QVariant> value = option.parse(text, &problem);
            if (!value) {
                *error = QStringLiteral("--%1 %2").arg(option.name, problem);
                return false;
            }
            values->add(option.name, text, *value, origin);
        }
    }
    return true;
}

bool OptionSet::readFile(const QString &path, OptionValues *values, QString *error) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.read(MaxFileSize + 1);
    if (text.size() > MaxFileSize) {
        *error = QStringLiteral("%1: larger than %2 bytes, so not a configuration file")
                     .arg(path)
                     .arg(MaxFileSize);
        return false;
    }
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    return readText(text, path, values, error);
}

bool OptionSet::readText(const QByteArray &text, const QString &fileName, OptionValues *values,
                         QString *error) const
{
    QHash<QString, int> firstLine;
    const QList<QByteArray> lines = text.split('\n');
    for (int index = 0; index < lines.size(); ++index) {
        const int number = index + 1;
        const QString line = QString::fromUtf8(lines.at(index)).trimmed();
        const QString where = QStringLiteral("%1:%2").arg(fileName).arg(number);
        auto fail = [&](const QString &problem) {
            *error = QStringLiteral("%1: %2").arg(where, problem);
            return false;
        };
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(QStringLiteral("expected NAME = VALUE, not \"%1\"").arg(line));
        const QString name = line.left(equals).trimmed();
        const QString valueText = line.mid(equals + 1).trimmed();
        const Option *option = find(name);
        if (!option)
            return fail(QStringLiteral("unknown option \"%1\"").arg(name));
        if (!option->repeatable && firstLine.contains(name))
            return fail(QStringLiteral("%1 is given twice (first on line %2)")
                            .arg(name)
                            .arg(firstLine.value(name)));
        firstLine.insert(name, number);
        if (option->isFlag()) {
            const std::optional<bool> on = OptionParsers::flagValue(valueText);
            if (!on)
                return fail(QStringLiteral("%1 needs yes or no, not \"%2\"").arg(name, valueText));
            if (*on)
                values->add(name, QStringLiteral("yes"), true, where);
            continue;
        }
        QString problem;
        const std::optional<QVariant> value = option->parse(valueText, &problem);
        if (!value)
            return fail(QStringLiteral("%1 %2").arg(name, problem));
        values->add(name, valueText, *value, where);
    }
    return true;
}

OptionValues OptionSet::resolve(const OptionValues &file, const OptionValues &commandLine) const
{
    OptionValues resolved;
    for (const Option &option : m_options) {
        const OptionValues &source = commandLine.isSet(option.name) ? commandLine : file;
        if (const OptionValues::Entry *entry = source.entry(option.name); entry && entry->given) {
            for (qsizetype i = 0; i < entry->texts.size(); ++i)
                resolved.add(option.name, entry->texts.at(i), entry->values.at(i), entry->origin);
            continue;
        }
        if (option.defaultText.isEmpty() || !option.parse)
            continue;
        QString problem;
        const std::optional<QVariant> value = option.parse(option.defaultText, &problem);
        Q_ASSERT_X(value, "OptionSet::resolve", "a default its own option refuses");
        if (value)
            resolved.setDefault(option.name, option.defaultText, *value);
    }
    return resolved;
}

QByteArray OptionSet::fileTemplate(const QString &heading) const
{
    QString text = heading;
    for (const Option &option : m_options) {
        text += QLatin1Char('\n');
        // The help, wrapped as comments of under 80 columns.
        QString line = QStringLiteral("#");
        for (const QString &word : option.help.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (line.size() + 1 + word.size() > 78) {
                text += line + QLatin1Char('\n');
                line = QStringLiteral("#");
            }
            line += QLatin1Char(' ') + word;
        }
        text += line + QLatin1Char('\n');
        if (option.change == Option::Live)
            text += QStringLiteral("# (reloaded)\n");
        const QString value = option.isFlag()                ? QStringLiteral("no")
                              : option.defaultText.isEmpty() ? option.argument
                                                             : option.defaultText;
        text += QStringLiteral("#%1 = %2\n").arg(option.name, value);
    }
    return text.toUtf8();
}
