#pragma once

#include <QImage>
#include <QSize>

class Picture;

// Paints a picture the way the client's canvas shows it: the border colour over the whole image,
// the background colour over the fitted grid, and every cell that holds a palette colour. It goes
// through the same geometry functions as the canvas, so both agree to the pixel.
class PictureRenderer
{
public:
    // The canvas area of the client's window at its starting size: the window less the menu bar
    // and the status bar, as Qt's Fusion style lays them out (other styles differ by a few
    // pixels). Pictures exported at this size look as a new user first sees them.
    static constexpr int MenuAndStatusBarHeight = 41;
    static constexpr QSize DefaultSize{CELVANE_WINDOW_WIDTH,
                                       CELVANE_WINDOW_HEIGHT - MenuAndStatusBarHeight};

    static QImage render(const Picture &picture, QSize size = DefaultSize);
};
