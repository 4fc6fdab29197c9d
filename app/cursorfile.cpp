#include "app/cursorfile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Reads a regular file. Anything else (a pipe, a device, a folder) is refused without waiting:
// the open does not block, and the check is made on what was opened, not on the name.
QByteArray readRegularFile(const QString& path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw Failure::fromErrno(errno);
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw Failure(file.errorString());
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > MaxCursorFileSize)
        throw malformed();
    return file.read(MaxCursorFileSize);
}

} // namespace

QCursor LoadCursorFile(const QString& path)
{
    const QByteArray bytes = readRegularFile(path);
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
