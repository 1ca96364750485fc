#pragma once

#include <QByteArray>
#include <QByteArrayView>

struct CanvasFormat;

// An image file sent by a page (POST /import) turned into the picture's rows, as the desktop
// program's Load Image turns a file: the image is read, stretched onto the format's grid and
// mapped to its palette by imageToCells(), and each row becomes one RowData message. The page
// then applies and sends the rows itself, exactly as a window would.
//
// The file comes from anyone who may edit: it is read with bounds (its size, its pixel count
// before anything is decoded, and the decoder's allocation limit), so that a small file claiming
// a huge picture costs nothing.
class WebImport
{
public:
    static constexpr qint64 MaxFileBytes = 4 * 1024 * 1024;
    // Larger than any photo a page is likely to send, 64 MiB as 32-bit pixels.
    static constexpr qint64 MaxPixels = 4096LL * 4096;
    static constexpr int AllocationLimitMiB = 128;

    struct Result
    {
        int status = 200; // 200; 400 for a file that is no image it reads, 413 for too many pixels
        QByteArray body;  // the RowData messages, rows 0 to rows - 1; or the reason
    };

    static Result rows(QByteArrayView file, const CanvasFormat &format);
};
