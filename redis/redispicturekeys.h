#pragma once

#include "server/picture.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

// Where a picture lives in Redis, under one name (the default "celvane"):
//
//   NAME              string  "CVL1", format, border, background, then the cells row by row
//   NAME:edits        stream  every edit in the one order; entry ID "SEQ-0", fields c (the
//                             connection), t (UTC milliseconds) and m (the edit as relayed)
//   NAME:meta         hash    seq (the last edit's number), oldest (the oldest whole picture
//                             kept), servers (counts the loads: each load's number makes the
//                             connection numbers of the server that loaded it unique)
//   NAME:snapshots    hash    SEQ -> "MS:" and the picture as NAME held it after edit SEQ
//   NAME:connections  hash    ID -> "ADDRESS PORT CONNECTED_MS LEFT_MS" (LEFT_MS -1 while open)
//   NAME:labels       hash    ID -> what a connection of a server's own did ("revert
//                             127.0.0.9 by root"); only such connections have one. Kept apart
//                             from the records above so that readers of those are unchanged
//   NAME:names        hash    ID -> the editor a client drew as (a web page opened with an
//                             editor's key); only such connections have one. Kept apart for
//                             the same reason
//   NAME:sync         channel nothing listens: a server publishes on it to learn when replicas
//                             hold what it read (see RedisPictureStore)
//   NAME:bans         hash    ADDRESS[/PREFIX], or "author:" and an editor's name -> the ban
//                             as JSON (see RedisModeration)
//   NAME:locks        hash    "X,Y,W,H" or "whole" -> the lock as JSON
//
// Only the script below writes the first four, so each change to the picture and its place in
// the stream is one atomic step, and the stream's order is the only order.
class RedisPictureKeys
{
public:
    explicit RedisPictureKeys(const QByteArray &name);

    const QByteArray &picture() const { return m_picture; }
    const QByteArray &edits() const { return m_edits; }
    const QByteArray &meta() const { return m_meta; }
    const QByteArray &snapshots() const { return m_snapshots; }
    const QByteArray &connections() const { return m_connections; }
    const QByteArray &labels() const { return m_labels; }
    QByteArray names() const { return m_picture + ":names"; }
    const QByteArray &sync() const { return m_sync; }
    QByteArray bans() const { return m_picture + ":bans"; }
    QByteArray locks() const { return m_picture + ":locks"; }
    // The keys the script takes, in its order, after the count.
    QList<QByteArray> scriptKeys() const;

    // The script's operations: "load" INITIAL creates the picture from INITIAL unless it exists
    // and returns {picture, seq, server number}; "edit" COLUMNS EVERY MAX_ENTRIES KEEP_MS and
    // then CONNECTION MESSAGE for each of a batch of checked edits applies them in order, appends
    // each as relayed and returns the last one's number, keeping a whole picture every EVERY
    // edits and trimming to what the bounds keep.
    static const QByteArray &script();
    // SHA1 of script(), as EVALSHA wants it.
    static const QByteArray &scriptSha();

    static QByteArray encodePicture(const Picture &picture);
    static std::optional<Picture> decodePicture(QByteArrayView value);

    // Stream entry IDs are the edits' numbers.
    static QByteArray entryId(quint64 seq);
    static std::optional<quint64> seqOfEntry(QByteArrayView id);

private:
    QByteArray m_picture;
    QByteArray m_edits;
    QByteArray m_meta;
    QByteArray m_snapshots;
    QByteArray m_connections;
    QByteArray m_labels;
    QByteArray m_sync;
};
