#pragma once
// Baseline JPEG to QImage, for the disk pictures: Qt's own JPEG reader
// (libjpeg underneath), the same on every system Qt runs on.

#include <QByteArray>
#include <QImage>

namespace ardenvel::app {

// A null image when the data is not a JPEG the reader can decode; a bad
// file never ends the program.
QImage decodeJpeg(const QByteArray& data);

}  // namespace ardenvel::app
