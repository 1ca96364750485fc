#include "options/optionvalues.h"

bool OptionValues::isSet(const QString &name) const
{
    const Entry *found = entry(name);
    return found && found->given;
}

QVariant OptionValues::value(const QString &name) const
{
    const Entry *found = entry(name);
    return found && !found->values.isEmpty() ? found->values.last() : QVariant();
}

QVariantList OptionValues::values(const QString &name) const
{
    const Entry *found = entry(name);
    return found ? found->values : QVariantList();
}

QString OptionValues::text(const QString &name) const
{
    const Entry *found = entry(name);
    return found && !found->texts.isEmpty() ? found->texts.last() : QString();
}

const OptionValues::Entry *OptionValues::entry(const QString &name) const
{
    const auto found = m_entries.constFind(name);
    return found == m_entries.constEnd() ? nullptr : &found.value();
}

void OptionValues::add(const QString &name, const QString &text, const QVariant &value,
                       const QString &origin)
{
    Entry &entry = m_entries[name];
    if (!entry.given)
        entry = Entry{{}, {}, origin, true};
    entry.texts.append(text);
    entry.values.append(value);
}

void OptionValues::setDefault(const QString &name, const QString &text, const QVariant &value)
{
    m_entries.insert(name, Entry{{text}, {value}, QStringLiteral("default"), false});
}

bool OptionValues::sameAs(const OptionValues &other, const QString &name) const
{
    const Entry *mine = entry(name);
    const Entry *theirs = other.entry(name);
    if (!mine || !theirs)
        return !mine && !theirs;
    // By value: "3000" in a file is no change from a default of 3000, nor "1.0" from "1".
    return mine->values == theirs->values;
}
