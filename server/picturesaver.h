#pragma once

#include "server/picturefile.h"

#include <QObject>

class QTimer;

// Writes a picture to its file some time after it changed, so that a stream of edits costs one
// write a second rather than one per edit. saveNow() writes at once, for shutting down.
class PictureSaver : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultDelayMs = 1000;

    // picture must outlive the saver.
    PictureSaver(const QString &path, const Picture *picture, QObject *parent = nullptr);

    void setDelay(int milliseconds);
    bool isPending() const { return m_dirty; }
    quint64 saveCount() const { return m_saves; }

    // Notes that the picture changed; it is written when the delay started by the first
    // unsaved change runs out.
    void scheduleSave();
    // Writes the picture now if it has unsaved changes. Failures are logged and returned.
    bool saveNow();

Q_SIGNALS:
    // Just before the picture is written: a journal beside it commits first, so that the file
    // never holds an edit the journal has not got.
    void aboutToSave();
    // The picture is in its file.
    void saved();

private:
    PictureFile m_file;
    const Picture *m_picture = nullptr;
    QTimer *m_timer = nullptr;
    bool m_dirty = false;
    quint64 m_saves = 0;
};
