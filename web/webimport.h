#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <unordered_map>

class QHostAddress;
class WebAccess;
struct CanvasFormat;
struct HttpRequest;

// POST /import: an image file sent by a page turned into the picture's rows, as the desktop
// program's Load Image turns a file: the image is read, stretched onto the format's grid and
// mapped to its palette by imageToCells(), and each row becomes one RowData message. The page
// then applies and sends the rows itself, exactly as a window would.
//
// Only a requester who may draw imports (anyone with --web-edit, or an editor's
// "Authorization: Bearer KEY"), at most one image a second from one address. The file comes from
// anyone who may edit: it is read with bounds (its size, its pixel count before anything is
// decoded, and the decoder's allocation limit), so that a small file claiming a huge picture
// costs nothing.
class WebImport
{
public:
    static constexpr qint64 MaxFileBytes = 4 * 1024 * 1024;
    // Larger than any photo a page is likely to send, 64 MiB as 32-bit pixels.
    static constexpr qint64 MaxPixels = 4096LL * 4096;
    static constexpr int AllocationLimitMiB = 128;
    static constexpr qint64 IntervalMs = 1000;

    struct Answer
    {
        int status = 200; // 200; 400 for a file that is no image it reads, 413 for too many
                          // pixels; 403 and 429 for a requester turned away
        QByteArray body;  // the RowData messages, rows 0 to rows - 1; or the reason, as text
    };

    // Whether the head of a request already turns it away (403, 429), before its body is read;
    // 0 if it does not. Takes nothing from the address's allowance.
    int refusal(const HttpRequest &head, const QHostAddress &address, const WebAccess &access,
                qint64 nowMs) const;
    // The whole request; format is the picture's, which ?format=N may override.
    Answer answer(const HttpRequest &request, const QHostAddress &address, const WebAccess &access,
                  int format, qint64 nowMs);

    static Answer rows(QByteArrayView file, const CanvasFormat &format);

private:
    // When each address last had an image imported.
    std::unordered_map<QString, qint64> m_last;
};
