#pragma once

#include <QByteArray>
#include <QString>

// True exactly when the file system can tell when `path` was last modified.
bool FileExists(const QString& path);

// Yields once to pending window events, then removes the file at `path`. Where the plain delete
// is refused because the folder is write-protected, the forced delete removes it all the same
// when this user owns the folder, and leaves the folder's mode as it was. A symbolic link is
// removed itself, never its target. Reports nothing.
void DeleteFileForced(const QString& path);

// Yields once to pending window events, then writes `bytes` to a new file at `path` unless the
// path exists. The file is created exclusively and never through a symbolic link; on failure
// nothing is left behind and a Failure with the system's description is thrown.
void WriteBytesIfMissing(const QByteArray& bytes, const QString& path);
