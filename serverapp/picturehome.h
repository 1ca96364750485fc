#pragma once

#include "journal/journalstore.h"
#include "redis/redispicturestore.h"
#include "server/picture.h"

#include <QLockFile>
#include <QString>

#include <memory>
#include <optional>

class OptionValues;
class PictureStore;

// Where the served picture lives: a picture file, locked, with its journal beside it; a key in
// Redis; or the server's memory alone.
class PictureHome
{
public:
    // The picture to start from: the sample scene with --demo, else an empty one of --format.
    static Picture initialPicture(const OptionValues &values);
    static JournalStore::Options journalOptions(const OptionValues &values);
    // --redis's settings, with the history's bounds; nothing after saying what is wrong.
    static std::optional<RedisPictureStore::Settings> redisSettings(const OptionValues &values);
    // --picture's path, settled; empty after saying what is wrong.
    static QString settledPath(const QString &path);

    // Opens what the options name. 0, or the exit status after saying what is wrong.
    int open(const OptionValues &values);

    QString picturePath() const { return m_picturePath; }
    const Picture &picture() const { return m_picture; }
    JournalStore *journal() const { return m_journal.get(); }
    RedisPictureStore *redis() const { return m_redis.get(); }
    // The store the server serves through; null when it holds the picture alone.
    PictureStore *store() const;

private:
    int lock();
    int openFile(const OptionValues &values);
    int openRedis(RedisPictureStore::Settings settings);

    Picture m_picture;
    QString m_picturePath;
    bool m_fileExisted = false;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<JournalStore> m_journal;
    std::unique_ptr<RedisPictureStore> m_redis;
};
