#include "recovery/picturechange.h"

#include "connection/protocol.h"
#include "server/picturefile.h"
#include "server/picturestore.h"

#include <QDataStream>
#include <QIODevice>

namespace {

// The first byte of an encoded change; another value is a change this program cannot read.
constexpr quint8 EncodingVersion = 1;

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

std::optional<Picture> PictureChange::appliedTo(const Picture &current) const
{
    if (current.formatNumber() != m_wanted.formatNumber())
        return std::nullopt;
    if (!m_conditional)
        return m_wanted;
    Picture result = current;
    QByteArray cells = current.cells();
    const QByteArray &from = m_from.cells();
    const QByteArray &wanted = m_wanted.cells();
    for (qsizetype i = 0; i < cells.size(); ++i)
        if (from.at(i) != wanted.at(i) && cells.at(i) == from.at(i))
            cells[i] = wanted.at(i);
    result.setCells(cells);
    const auto pick = [](quint8 now, quint8 from, quint8 wanted) {
        return from != wanted && now == from ? wanted : now;
    };
    result.setFrameColors(pick(current.border(), m_from.border(), m_wanted.border()),
                          pick(current.background(), m_from.background(), m_wanted.background()));
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
           << PictureFile::encode(m_wanted);
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
    stream >> version >> conditional >> from >> wanted;
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
    return PictureChange(*fromPicture, *wantedPicture, conditional);
}
