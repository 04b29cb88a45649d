#pragma once
// Baseline JPEG to QImage through libjpeg, for the disk pictures.

#include <QByteArray>
#include <QImage>

namespace ardenvel::app {

// A null image when the data is not a JPEG libjpeg can decode; a bad file
// never ends the program.
QImage decodeJpeg(const QByteArray& data);

}  // namespace ardenvel::app
