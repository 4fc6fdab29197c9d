#pragma once

#include <QCursor>
#include <QString>

// Loads a Windows cursor file (.cur) as a cursor with the hotspot the file gives. A missing,
// unreadable or malformed file throws a Failure.
QCursor LoadCursorFile(const QString& path);
