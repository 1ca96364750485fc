#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

// The values of a set of options as one source gave them (the command line, a configuration
// file) or as they resolve (see OptionSet::resolve()). Each option's value is kept with its text
// and where it came from, so that a reload can tell what changed and say where.
class OptionValues
{
public:
    struct Entry
    {
        QStringList texts;   // as given, one per time given; a flag's is "yes"
        QVariantList values; // parsed, one per text
        QString origin;      // "FILE:LINE" of its first line, or "command line", or "default"
        bool given = false;  // false for a default
    };

    bool isSet(const QString &name) const;
    // The value given last, or the default's; an invalid QVariant when there is neither.
    QVariant value(const QString &name) const;
    // Every value given, for a repeatable option; the default's alone when none was.
    QVariantList values(const QString &name) const;
    // The text of value(), or empty.
    QString text(const QString &name) const;
    const Entry *entry(const QString &name) const;
    QStringList names() const { return m_entries.keys(); }

    void add(const QString &name, const QString &text, const QVariant &value,
             const QString &origin);
    void setDefault(const QString &name, const QString &text, const QVariant &value);
    void remove(const QString &name) { m_entries.remove(name); }

    // Whether two sets give an option the same values, given or defaulted.
    bool sameAs(const OptionValues &other, const QString &name) const;

private:
    QMap<QString, Entry> m_entries;
};
