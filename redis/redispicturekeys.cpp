#include "redis/redispicturekeys.h"

#include "model/canvasformat.h"

#include <QCryptographicHash>

namespace {

constexpr char Magic[] = "CVL1";
constexpr int MagicSize = 4;
constexpr int HeaderSize = MagicSize + 3;

// Checks nothing the server has not checked already: the server refuses what the picture could
// never take before the edit reaches Redis, so an edit here is always applied.
const char ScriptSource[] = R"lua(
local picture, edits, meta, snapshots, connections = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]
local headerSize = 7

local function now()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end

local op = ARGV[1]
if op == 'load' then
  local types = {[picture] = 'string', [edits] = 'stream', [meta] = 'hash',
                 [snapshots] = 'hash', [connections] = 'hash'}
  for _, key in ipairs(KEYS) do
    local t = redis.call('TYPE', key)['ok']
    if t ~= 'none' and t ~= types[key] then
      return redis.error_reply('WRONGTYPE ' .. key .. ' holds a ' .. t .. ', not a ' .. types[key])
    end
  end
  if redis.call('EXISTS', picture) == 0 then
    if redis.call('EXISTS', edits, meta, snapshots) ~= 0 then
      return redis.error_reply('NOTCELVANE ' .. picture .. ' is missing beside its history')
    end
    redis.call('SET', picture, ARGV[2])
    redis.call('HSET', meta, 'seq', 0, 'oldest', 0)
    redis.call('HSET', snapshots, '0', now() .. ':' .. ARGV[2])
  end
  local value = redis.call('GET', picture)
  if string.sub(value, 1, 4) ~= 'CVL1' then
    return redis.error_reply('NOTCELVANE ' .. picture .. ' holds a string that is not a Celvane picture')
  end
  return {value, redis.call('HGET', meta, 'seq') or '0', redis.call('HINCRBY', meta, 'servers', 1)}
end

-- 'edit' COLUMNS EVERY MAX_ENTRIES KEEP_MS, then CONNECTION MESSAGE for each edit, in order.
local columns, every = tonumber(ARGV[2]), tonumber(ARGV[3])
local maxEntries, keepMs = tonumber(ARGV[4]), tonumber(ARGV[5])

local function apply(message)
  if string.byte(message, 1) == 3 then
    local opcode, a, b, c = string.byte(message, 5, 8)
    if opcode == 0 then
      redis.call('SETRANGE', picture, headerSize,
                 string.rep('\255', redis.call('STRLEN', picture) - headerSize))
    elseif opcode == 1 then
      redis.call('SETRANGE', picture, 5, string.char(a, b))
    else
      redis.call('SETRANGE', picture, headerSize + b * columns + a, string.char(c))
    end
    return message
  end
  local row, count = string.byte(message, 5, 6)
  local offset = headerSize + row * columns
  if count > 0 then
    redis.call('SETRANGE', picture, offset, string.sub(message, 9, 8 + count))
  end
  if count == columns then
    return message
  end
  -- A short row changes only the cells it carries: it goes out as the whole row it left.
  local length = columns + 4
  return string.char(4, 0, length % 256, math.floor(length / 256), row, columns, 0, 0)
         .. redis.call('GETRANGE', picture, offset, offset + columns - 1)
end

-- The stream may start only just after a whole picture, so that every kept moment can be
-- rebuilt: its start moves to the oldest picture that leaves at most maxEntries edits, or
-- further, to the newest taken before the kept time span.
local function trim(seq, time)
  local points = {}
  for i, key in ipairs(redis.call('HKEYS', snapshots)) do points[i] = tonumber(key) end
  table.sort(points)
  local oldest = tonumber(redis.call('HGET', meta, 'oldest') or '0')
  local target = oldest
  for _, point in ipairs(points) do
    if point > target then
      if seq - target > maxEntries then
        target = point
      else
        local taken = redis.call('HGET', snapshots, tostring(point))
        if tonumber(string.match(taken, '^(%d+):')) <= time - keepMs then
          target = point
        else
          break
        end
      end
    end
  end
  if target > oldest then
    redis.call('XTRIM', edits, 'MINID', (target + 1) .. '-0')
    for _, point in ipairs(points) do
      if point < target then redis.call('HDEL', snapshots, tostring(point)) end
    end
    redis.call('HSET', meta, 'oldest', target)
  end
end

local time = now()
local seq = tonumber(redis.call('HGET', meta, 'seq') or '0')
for i = 6, #ARGV - 1, 2 do
  local relayed = apply(ARGV[i + 1])
  seq = seq + 1
  redis.call('XADD', edits, seq .. '-0', 'c', ARGV[i], 't', time, 'm', relayed)
  if seq % every == 0 then
    redis.call('HSET', snapshots, tostring(seq), time .. ':' .. redis.call('GET', picture))
    trim(seq, time)
  end
end
redis.call('HSET', meta, 'seq', seq)
return seq
)lua";

} // namespace

RedisPictureKeys::RedisPictureKeys(const QByteArray &name)
    : m_picture(name)
    , m_edits(name + ":edits")
    , m_meta(name + ":meta")
    , m_snapshots(name + ":snapshots")
    , m_connections(name + ":connections")
    , m_labels(name + ":labels")
    , m_sync(name + ":sync")
{
}

QList<QByteArray> RedisPictureKeys::scriptKeys() const
{
    return {QByteArrayLiteral("5"), m_picture, m_edits, m_meta, m_snapshots, m_connections};
}

const QByteArray &RedisPictureKeys::script()
{
    static const QByteArray source(ScriptSource);
    return source;
}

const QByteArray &RedisPictureKeys::scriptSha()
{
    static const QByteArray sha =
        QCryptographicHash::hash(script(), QCryptographicHash::Sha1).toHex();
    return sha;
}

QByteArray RedisPictureKeys::encodePicture(const Picture &picture)
{
    QByteArray value(Magic, MagicSize);
    value.append(char(picture.formatNumber()));
    value.append(char(picture.border()));
    value.append(char(picture.background()));
    value.append(picture.cells());
    return value;
}

std::optional<Picture> RedisPictureKeys::decodePicture(QByteArrayView value)
{
    if (value.size() < HeaderSize || value.first(MagicSize) != QByteArrayView(Magic, MagicSize))
        return std::nullopt;
    const int formatNumber = quint8(value.at(MagicSize));
    if (!Picture::isFormatNumber(formatNumber))
        return std::nullopt;
    Picture picture(formatNumber);
    const quint8 border = quint8(value.at(MagicSize + 1));
    const quint8 background = quint8(value.at(MagicSize + 2));
    const qsizetype palette = picture.format().palette.size();
    if (border >= palette || background >= palette || !picture.setCells(value.sliced(HeaderSize)))
        return std::nullopt;
    picture.setFrameColors(border, background);
    return picture;
}

QByteArray RedisPictureKeys::entryId(quint64 seq)
{
    return QByteArray::number(seq) + "-0";
}

std::optional<quint64> RedisPictureKeys::seqOfEntry(QByteArrayView id)
{
    if (!id.endsWith("-0"))
        return std::nullopt;
    bool ok = false;
    const quint64 seq = id.chopped(2).toULongLong(&ok);
    return ok ? std::optional<quint64>(seq) : std::nullopt;
}
