#include "support/installfolder.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

QString& override()
{
    static QString folder;
    return folder;
}

} // namespace

QString InstallationFolder()
{
    return override().isEmpty() ? ExecutableFolder() : override();
}

QString ExecutableFolder()
{
    const QFileInfo executable(QCoreApplication::applicationFilePath());
    return QFileInfo(executable.canonicalFilePath()).absolutePath();
}

void setInstallationFolderForTesting(const QString& folder)
{
    override() = folder;
}
