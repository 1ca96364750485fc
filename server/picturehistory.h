#pragma once

#include "server/picture.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// The kept past of a picture: every edit in the one order, when it took effect and which
// connection it came from, and whole pictures at points from which any later kept moment can be
// rebuilt. A journal beside a picture file and a stream shared by several servers each keep one;
// the recovery commands, the exports at a moment and the web page read it through this alone.
//
// Edits are numbered in the order they took effect, from 1, without gaps or reuse. A moment
// older than the oldest kept one cannot be rebuilt: retention folded what came before it into a
// whole picture.
class PictureHistory
{
public:
    struct Connection
    {
        quint64 id = 0;
        QString address; // as text, "::1" or "127.0.0.2"; "control" for the server's own edits
        quint16 port = 0;
        qint64 connectedMs = 0; // UTC, milliseconds since the epoch
        qint64 leftMs = -1;     // -1 while connected, or when the server stopped without saying
        // What a connection of the server's own did ("revert 127.0.0.9 by root"), so that each
        // repair can be told apart and undone alone; empty for a client.
        QString label;
        // The editor's name, for a web page opened with an editor's key; empty otherwise.
        QString name;
    };

    struct Edit
    {
        quint64 seq = 0;
        qint64 timeMs = 0;
        quint64 connection = 0;
        QByteArrayView message; // the whole message as relayed; valid during the visit only
    };

    virtual ~PictureHistory() = default;

    // Why the last call failed, for a person.
    virtual QString errorString() const = 0;

    // The oldest picture kept whole is the one after edit oldestSeq() - 1 (0: before any edit),
    // taken at oldestMs(); every edit after it is kept.
    virtual quint64 oldestSeq() = 0;
    virtual qint64 oldestMs() = 0;
    // The newest edit kept, or oldestSeq() - 1 when there is none since the oldest picture.
    virtual quint64 lastSeq() = 0;

    // The number of the last edit that had taken effect at a moment: oldestSeq() - 1 for a moment
    // before the first kept edit, nothing for one before oldestMs().
    virtual std::optional<quint64> seqAt(qint64 ms) = 0;
    // The picture just after edit seq, for oldestSeq() - 1 <= seq <= lastSeq().
    virtual std::optional<Picture> pictureAt(quint64 seq) = 0;

    // Visits every kept edit with first <= seq <= last, in order, until visit returns false.
    // Returns false if reading failed.
    virtual bool forEachEdit(quint64 first, quint64 last,
                             const std::function<bool(const Edit &)> &visit) = 0;

    virtual std::optional<Connection> connection(quint64 id) = 0;
};
