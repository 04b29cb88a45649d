#include "app/JpegImage.h"

#include <QBuffer>
#include <QImageReader>

namespace ardenvel::app {

QImage decodeJpeg(const QByteArray& data) {
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly)) return {};
    // The JPEG reader only, whatever the bytes look like to the others.
    QImageReader reader(&buffer, "jpeg");
    reader.setDecideFormatFromContent(false);
    if (!reader.canRead()) return {};
    return reader.read();
}

}  // namespace ardenvel::app
