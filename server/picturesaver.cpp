#include "server/picturesaver.h"

#include "server/serverlogging.h"

#include <QTimer>

PictureSaver::PictureSaver(const QString &path, const Picture *picture, QObject *parent)
    : QObject(parent)
    , m_file(path)
    , m_picture(picture)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(DefaultDelayMs);
    connect(m_timer, &QTimer::timeout, this, &PictureSaver::saveNow);
}

void PictureSaver::setDelay(int milliseconds)
{
    m_timer->setInterval(milliseconds);
}

void PictureSaver::scheduleSave()
{
    m_dirty = true;
    // A running timer already covers this change: restarting it would let a steady stream of
    // edits put saving off for ever.
    if (!m_timer->isActive())
        m_timer->start();
}

bool PictureSaver::saveNow()
{
    m_timer->stop();
    if (!m_dirty)
        return true;
    Q_EMIT aboutToSave();
    if (!m_file.save(*m_picture)) {
        // Kept dirty: the next edit tries again.
        qCWarning(lcServer).noquote() << m_file.errorString();
        return false;
    }
    m_dirty = false;
    ++m_saves;
    Q_EMIT saved();
    qCDebug(lcServer).noquote() << "saved" << m_file.path();
    return true;
}
