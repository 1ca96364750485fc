#pragma once

#include <QImage>

struct CanvasFormat;

// Turns an image of any size and pixel format into the cells of a picture: stretched onto the
// grid (columns x rows pixels, nearest sampling, aspect ratio not kept), then every pixel mapped
// to the nearest palette colour. The result is an 8-bit indexed image whose bytes are palette
// indices only; transparency gets no special treatment, so no pixel becomes an empty cell.
QImage imageToCells(const QImage &source, const CanvasFormat &format);
