#pragma once

#include "model/canvasformat.h"

#include <QImage>
#include <QRectF>
#include <QWidget>

#include <vector>

class QPainter;
class QTransform;

// Shows the picture scaled into the widget and lets the user paint cells with the left button and
// erase them with the right one. Only mouse editing raises CellChanged: changes made through the
// operations below are silent, and whoever makes them tells the server where it must hear of them.
//
// Every visible change repaints the whole widget at once (repaint(), not update()).
class Canvas : public QWidget
{
    Q_OBJECT

public:
    explicit Canvas(QWidget *parent = nullptr);
    ~Canvas() override;

    // Installs a format with rows x columns initial cells, or all cells empty when cells is null.
    // Installing the format already shown does nothing at all; installing nullptr drops the
    // picture. The colour indices return to 0.
    void setFormat(const CanvasFormat *format, const uint8 *cells = nullptr);
    const CanvasFormat *format() const { return m_format; }

    // Replaces every cell of the installed format with rows x columns bytes and repaints once.
    void replaceCells(const uint8 *cells);

    // Whether an operation repaints at once. Edits relayed by the server arrive in batches: they
    // are stored with RepaintLater and shown by one repaint() once the batch is in.
    enum Repaint { RepaintNow, RepaintLater };

    void clear(Repaint repaint = RepaintNow);
    // x and y must lie inside the grid; the caller keeps to it.
    void setCell(uint8 x, uint8 y, uint8 value, Repaint repaint = RepaintNow);
    // Replaces row y (inside the grid) with columns bytes.
    void setRow(uint8 y, const uint8 *cells, Repaint repaint = RepaintNow);
    uint8 cell(int x, int y) const { return m_cells[size_t(y) * m_format->columns + x]; }

    uint8 borderColor() const { return m_borderColor; }
    uint8 backgroundColor() const { return m_backgroundColor; }
    uint8 penColor() const { return m_penColor; }
    void setBorderColor(uint8 index, Repaint repaint = RepaintNow);
    void setBackgroundColor(uint8 index, Repaint repaint = RepaintNow);
    void setPenColor(uint8 index);

    // Where the grid is drawn, in widget coordinates.
    QRectF canvasRect() const { return m_canvasRect; }

Q_SIGNALS:
    // The user changed the cell in column x of row y to color.
    void CellChanged(uint8 x, uint8 y, uint8 color);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    enum MouseMode { Idle = -1, Drawing = 0, Erasing = 1 };

    void updateCanvasRect();
    void paintAt(const QPoint &point);
    // Applies the mouse mode to every cell on the line from the previous drag point to point.
    void paintLineTo(const QPoint &point);
    void paintCell(int x, int y);

    // The painted picture is kept in m_picture, so that a repaint draws one image instead of
    // thousands of cells. These keep it in step with the cells, the colours and the size.
    void cellChanged(int index);
    void invalidatePicture();
    bool pictureFits(const QTransform &deviceTransform, int *scale) const;
    void renderPicture(int scale);
    void renderChangedCells();
    void findRepeatedRows(int top, int bottom);
    QRect gridPixels() const;
    bool copyGridRows(QPainter &painter, const QRect &grid, int scale) const;
    void paintPicture(QPainter &painter, int firstColumn, int lastColumn, int firstRow,
                      int lastRow) const;

    const CanvasFormat *m_format = nullptr;
    QRectF m_canvasRect;
    int m_mouseMode = Idle;
    // Where the drag was last seen: kept as a point, not a cell, so that the next line is drawn
    // in the grid as it is then, should a new picture or a resize have moved the cells.
    QPoint m_lastDragPoint;
    uint8 m_borderColor = 0;
    uint8 m_backgroundColor = 0;
    uint8 m_penColor = 0;
    std::vector<uint8> m_cells;

    QImage m_picture;
    bool m_pictureValid = false;
    // Cells stored since m_picture was last brought up to date, in the order they were stored.
    std::vector<int> m_changedCells;
    // For each pixel row of m_picture, whether its part inside the grid equals the row above.
    std::vector<bool> m_rowRepeats;
};
