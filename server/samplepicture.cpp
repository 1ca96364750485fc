#include "server/samplepicture.h"

#include "model/canvasformat.h"

namespace {

// Palette indices for the scene. The eight-colour palette has no browns or greys, so that format
// borrows the nearest entries.
struct SceneColors
{
    quint8 border, sky, sun, meadow, wall, roof, door, window, trunk, leaves;
};

constexpr SceneColors sixteenColors{14, 6, 7, 5, 10, 2, 9, 1, 8, 13};
constexpr SceneColors eightColors{3, 6, 7, 5, 2, 4, 0, 1, 0, 5};

class Painter
{
public:
    explicit Painter(Picture &picture)
        : m_picture(picture)
        , m_columns(picture.format().columns)
        , m_rows(picture.format().rows)
    {
    }

    // Coordinates are in a 40 x 25 scene, stretched to the picture's grid.
    void fill(int left, int top, int right, int bottom, quint8 color)
    {
        for (int y = top; y <= bottom; ++y)
            for (int x = left; x <= right; ++x)
                put(x, y, color);
    }

    void put(int sceneX, int sceneY, quint8 color)
    {
        const int firstX = sceneX * m_columns / 40;
        const int lastX = (sceneX + 1) * m_columns / 40;
        const int y = sceneY * m_rows / 25;
        for (int x = firstX; x < lastX || x == firstX; ++x) {
            if (x >= 0 && x < m_columns && y >= 0 && y < m_rows)
                m_picture.setCell(x, y, color);
        }
    }

private:
    Picture &m_picture;
    int m_columns;
    int m_rows;
};

void drawColored(Picture &picture, const SceneColors &c)
{
    picture.setFrameColors(c.border, c.sky);
    Painter p(picture);
    for (int y = 1; y <= 7; ++y)
        for (int x = 28; x <= 36; ++x)
            if ((x - 32) * (x - 32) + (y - 4) * (y - 4) * 2 <= 14)
                p.put(x, y, c.sun);
    p.fill(0, 20, 39, 24, c.meadow);
    for (int row = 0; row < 5; ++row)
        p.fill(13 - row - row / 2, 8 + row, 17 + row + row / 2, 8 + row, c.roof);
    p.fill(8, 13, 22, 19, c.wall);
    p.fill(14, 15, 16, 19, c.door);
    p.fill(10, 14, 12, 16, c.window);
    p.fill(18, 14, 20, 16, c.window);
    p.fill(30, 15, 31, 19, c.trunk);
    p.fill(27, 10, 34, 14, c.leaves);
}

void drawOutline(Picture &picture)
{
    Painter p(picture);
    // Sun, roof, walls, door and ground line, in the one colour there is.
    for (int y = 1; y <= 7; ++y)
        for (int x = 28; x <= 36; ++x) {
            const int d = (x - 32) * (x - 32) + (y - 4) * (y - 4) * 2;
            if (d >= 8 && d <= 14)
                p.put(x, y, 1);
        }
    for (int row = 0; row < 5; ++row) {
        p.put(13 - row + 2, 8 + row, 1);
        p.put(17 + row - 2, 8 + row, 1);
    }
    p.fill(8, 13, 22, 13, 1);
    p.fill(8, 13, 8, 19, 1);
    p.fill(22, 13, 22, 19, 1);
    p.fill(14, 15, 16, 15, 1);
    p.fill(14, 15, 14, 19, 1);
    p.fill(16, 15, 16, 19, 1);
    p.fill(0, 20, 39, 20, 1);
}

} // namespace

Picture samplePicture(int formatNumber)
{
    Picture picture(formatNumber);
    const qsizetype colors = picture.format().palette.size();
    if (colors >= 16)
        drawColored(picture, sixteenColors);
    else if (colors >= 8)
        drawColored(picture, eightColors);
    else
        drawOutline(picture);
    return picture;
}
