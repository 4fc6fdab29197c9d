#pragma once

#include <QString>

// The folder that holds the program's executable (links to it resolved): its optional files
// (the hand cursor, the skin) are looked for there.
QString InstallationFolder();
// The same folder, whatever a test chose: the program's own libraries lie there.
QString ExecutableFolder();

// Tests point the program at a folder of their own; an empty folder restores the real one.
void setInstallationFolderForTesting(const QString& folder);
