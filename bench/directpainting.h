#pragma once

#include "model/canvasformat.h"

#include <QByteArray>
#include <QWidget>

// A picture painted the plain way on every repaint, border, background and then one fill per
// cell, as the canvas did before it kept a rendered image: the figure the kept image is there to
// beat.
class DirectPainting : public QWidget
{
public:
    DirectPainting(const CanvasFormat &format, const QByteArray &cells);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const CanvasFormat &m_format;
    QByteArray m_cells;
};
