#include "recovery/picturechange.h"

#include "connection/protocol.h"
#include "server/picturefile.h"
#include "server/picturestore.h"

#include <QDataStream>
#include <QIODevice>

namespace {

// The first byte of an encoded change; another value is a change this program cannot read.
// Version 2 added the area.
constexpr quint8 EncodingVersion = 2;

} // namespace

PictureChange::PictureChange(const Picture &from, const Picture &wanted, bool conditional)
    : m_from(from)
    , m_wanted(wanted)
    , m_conditional(conditional)
{
}

PictureChange PictureChange::restore(const Picture &wanted)
{
    return PictureChange(wanted, wanted, false);
}

PictureChange PictureChange::revert(const Picture &from, const Picture &wanted)
{
    return PictureChange(from, wanted, true);
}

PictureChange PictureChange::limitedTo(const QRect &area) const
{
    PictureChange limited = *this;
    limited.m_area = area;
    return limited;
}

std::optional<Picture> PictureChange::appliedTo(const Picture &current) const
{
    if (current.formatNumber() != m_wanted.formatNumber())
        return std::nullopt;
    if (!m_conditional && m_area.isNull())
        return m_wanted;
    const int columns = current.format().columns;
    const QRect area = m_area.isNull() ? QRect(0, 0, columns, current.format().rows) : m_area;
    // A restore puts the wanted value wherever it may; a revert only where from's still stands.
    const auto pick = [this](char now, char from, char wanted) {
        return !m_conditional || (from != wanted && now == from) ? wanted : now;
    };
    Picture result = current;
    QByteArray cells = current.cells();
    const QByteArray &from = m_from.cells();
    const QByteArray &wanted = m_wanted.cells();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const int i = y * columns + x;
            cells[i] = pick(cells.at(i), from.at(i), wanted.at(i));
        }
    }
    result.setCells(cells);
    if (m_area.isNull())
        result.setFrameColors(
            quint8(pick(char(current.border()), char(m_from.border()), char(m_wanted.border()))),
            quint8(pick(char(current.background()), char(m_from.background()),
                        char(m_wanted.background()))));
    return result;
}

QList<QByteArray> PictureChange::messages(const Picture &current, const Picture &wanted)
{
    QList<QByteArray> messages;
    if (current.border() != wanted.border() || current.background() != wanted.background())
        messages.append(Protocol::encodeCommand(Protocol::SetColorsCommand, wanted.border(),
                                                wanted.background(), 0));
    const int columns = wanted.format().columns;
    const QByteArray &now = current.cells();
    const QByteArray &cells = wanted.cells();
    for (int y = 0; y < wanted.format().rows; ++y) {
        const QByteArrayView row = QByteArrayView(cells).sliced(y * columns, columns);
        if (row != QByteArrayView(now).sliced(y * columns, columns))
            messages.append(Protocol::encodeRowData(quint8(y), quint8(columns),
                                                    reinterpret_cast<const quint8 *>(row.data())));
    }
    return messages;
}

PictureChange::Outcome PictureChange::difference(const Picture &current, const Picture &wanted)
{
    Outcome outcome;
    const QByteArray &now = current.cells();
    const QByteArray &cells = wanted.cells();
    for (qsizetype i = 0; i < cells.size(); ++i)
        outcome.cells += now.at(i) != cells.at(i);
    outcome.colours =
        int(current.border() != wanted.border()) + int(current.background() != wanted.background());
    return outcome;
}

bool PictureChange::carryOut(PictureStore *store, quint64 connection, Outcome *outcome,
                             QString *problem) const
{
    const Picture current = store->picture();
    const std::optional<Picture> result = appliedTo(current);
    if (!result) {
        *problem = QStringLiteral("the picture is now of format %1, the change of format %2")
                       .arg(current.formatNumber())
                       .arg(m_wanted.formatNumber());
        return false;
    }
    *outcome = difference(current, *result);
    for (const QByteArray &message : messages(current, *result)) {
        const auto kind = quint8(message.at(0));
        const Picture::EditResult edit = store->submit(connection, kind, message);
        if (edit != Picture::Applied) {
            *problem = QStringLiteral("the picture refused an edit: %1")
                           .arg(QLatin1String(Picture::describe(edit)));
            return false;
        }
    }
    return true;
}

QByteArray PictureChange::encode() const
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << EncodingVersion << m_conditional << PictureFile::encode(m_from)
           << PictureFile::encode(m_wanted) << m_area;
    return bytes;
}

std::optional<PictureChange> PictureChange::decode(QByteArrayView bytes, QString *problem)
{
    const QByteArray copy = bytes.toByteArray();
    QDataStream stream(copy);
    quint8 version = 0;
    bool conditional = false;
    QByteArray from;
    QByteArray wanted;
    QRect area;
    stream >> version >> conditional >> from >> wanted >> area;
    if (stream.status() != QDataStream::Ok || !stream.atEnd() || version != EncodingVersion) {
        *problem = QStringLiteral("not a picture change this server understands");
        return std::nullopt;
    }
    const std::optional<Picture> fromPicture = PictureFile::decode(from, problem);
    if (!fromPicture)
        return std::nullopt;
    const std::optional<Picture> wantedPicture = PictureFile::decode(wanted, problem);
    if (!wantedPicture)
        return std::nullopt;
    if (fromPicture->formatNumber() != wantedPicture->formatNumber()) {
        *problem = QStringLiteral("a change between pictures of two formats");
        return std::nullopt;
    }
    const QRect grid(0, 0, wantedPicture->format().columns, wantedPicture->format().rows);
    if (!area.isNull() && (area.isEmpty() || !grid.contains(area))) {
        *problem = QStringLiteral("a change to an area outside the picture");
        return std::nullopt;
    }
    return PictureChange(*fromPicture, *wantedPicture, conditional).limitedTo(area);
}
