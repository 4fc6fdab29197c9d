#include "app/cursorfile.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QtEndian>

#include "support/failure.h"

namespace {

constexpr qint64 MaxCursorFileSize = 1024 * 1024;
constexpr int HeaderSize = 6;
constexpr int EntrySize = 16;

quint16 word(const QByteArray& bytes, int at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 dword(const QByteArray& bytes, int at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

Failure malformed()
{
    return Failure(QStringLiteral("Invalid picture"));
}

} // namespace

QCursor LoadCursorFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(file.errorString());
    if (file.size() > MaxCursorFileSize)
        throw malformed();
    const QByteArray bytes = file.read(MaxCursorFileSize);
    // Header: reserved 0, type 2 (cursor), image count; then one 16-byte entry per image.
    if (bytes.size() < HeaderSize + EntrySize || word(bytes, 0) != 0 || word(bytes, 2) != 2)
        throw malformed();
    const int count = word(bytes, 4);
    if (count < 1 || HeaderSize + qint64(count) * EntrySize > bytes.size())
        throw malformed();
    const int hotspotX = word(bytes, 10);
    const int hotspotY = word(bytes, 12);
    const quint32 imageSize = dword(bytes, 14);
    const quint32 imageOffset = dword(bytes, 18);
    if (imageOffset < quint32(HeaderSize + EntrySize) || imageOffset > quint32(bytes.size()) ||
        imageSize > quint32(bytes.size()) - imageOffset)
        throw malformed();

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "cur");
    // Straight to the cursor reader: guessing would load every image plugin before it (the SVG
    // one with its library) at each start.
    reader.setAutoDetectImageFormat(false);
    const QImage image = reader.read();
    if (image.isNull() || image.width() > 256 || image.height() > 256)
        throw malformed();
    if (hotspotX >= image.width() || hotspotY >= image.height())
        throw malformed();
    return QCursor(QPixmap::fromImage(image), hotspotX, hotspotY);
}
