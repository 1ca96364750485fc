#pragma once

#include "web/webeditor.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// The editors' keys of --web-keys: one line per editor, "NAME KEY [moderator]", with blank lines
// and lines starting with '#' between them. A NAME is 1 to 32 of [A-Za-z0-9_.-]; a KEY at least
// MinKeyLength visible ASCII characters. A name or a key given twice is an error, and so is a file
// that group or others may read or write: the keys are as secret as an ssh key.
//
// Keys are never logged nor put in a problem's text, and find() compares the key given against
// every key, each byte of it, whatever matches: the time it takes tells nothing of the keys.
class WebKeys
{
public:
    static constexpr qsizetype MinKeyLength = 16;
    static constexpr int MaxNameLength = 32;
    // Far beyond any list of editors; a larger file is not a keys file.
    static constexpr qint64 MaxFileSize = 1 << 20;

    // Reads the file's text; on a problem, *problem says what and on which line.
    static std::optional<WebKeys> parse(QByteArrayView text, QString *problem);
    // Reads the file, refusing it if it is not the owner's alone.
    static std::optional<WebKeys> load(const QString &path, QString *problem);

    // The editor whose key this is.
    std::optional<WebEditor> find(QByteArrayView key) const;
    bool isEmpty() const { return m_entries.empty(); }
    qsizetype size() const { return qsizetype(m_entries.size()); }

private:
    struct Entry
    {
        QByteArray key;
        WebEditor editor;
    };
    std::vector<Entry> m_entries;
};
