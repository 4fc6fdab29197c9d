// Fuzzes the hand cursor reader with arbitrary cursor files.

#include <cstddef>
#include <cstdint>

#include <QApplication>
#include <QCursor>
#include <QPixmap>

#include "app/cursorfile.h"
#include "fuzz/scratchfile.h"
#include "support/failure.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzApplication<QApplication>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = writeScratchFile(QStringLiteral("HAND-M.CUR"), data, size);
    try {
        const QCursor cursor = LoadCursorFile(path);
        // A loaded cursor is a small picture with its hotspot inside it.
        const QPixmap picture = cursor.pixmap();
        const QPoint hotspot = cursor.hotSpot();
        if (picture.isNull() || picture.width() > 256 || picture.height() > 256 ||
            hotspot.x() < 0 || hotspot.y() < 0 || hotspot.x() >= picture.width() ||
            hotspot.y() >= picture.height())
            qFatal("cursor %dx%d with hotspot %d,%d accepted", picture.width(), picture.height(),
                   hotspot.x(), hotspot.y());
    } catch (const Failure& failure) {
        // A malformed file is reported, with a text for the error message.
        if (failure.description().isEmpty())
            qFatal("failure without a description");
    }
    return 0;
}
