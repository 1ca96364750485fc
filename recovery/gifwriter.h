#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <vector>

struct GifFileType;

// Writes an animated GIF into memory through giflib, one frame at a time, with one colour table
// for the whole animation: the pictures it shows are drawn in a palette of at most sixteen
// colours, which a GIF holds exactly. Each frame is stored as the rectangle in which it differs
// from the one before, drawn over it, so a picture that grows a few cells at a time costs a few
// bytes a frame. The animation loops.
class GifWriter
{
public:
    // colours: at most 256, every colour a frame may hold.
    GifWriter(QSize size, const QList<QColor> &colours);
    ~GifWriter();
    GifWriter(const GifWriter &) = delete;
    GifWriter &operator=(const GifWriter &) = delete;

    // frame must be of the writer's size and hold only its colours; delay in hundredths of a
    // second. Returns false once anything failed (see errorString()).
    bool addFrame(const QImage &frame, int delayCentiseconds);
    // Ends the file and hands over its bytes; nothing once anything failed.
    QByteArray finish();
    int frameCount() const { return m_frames; }
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &what, int giflibError);
    static int write(GifFileType *gif, const unsigned char *bytes, int length);

    QSize m_size;
    QList<QRgb> m_colours;
    GifFileType *m_gif = nullptr;
    QByteArray m_bytes;
    // The previous frame as colour indices, to find what changed.
    std::vector<unsigned char> m_previous;
    std::vector<unsigned char> m_indices;
    int m_frames = 0;
    QString m_error;
};
