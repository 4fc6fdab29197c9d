#include "support/tempfolder.h"

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>

namespace {

// A folder is private when it is a real folder (not a link), ours, and closed to others.
bool isPrivateFolder(const QByteArray& path)
{
    struct stat info = {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

QString privateFolderUnderSystemTemp()
{
    const QByteArray fixed =
        QFile::encodeName(QDir::tempPath()) + "/pitchwarden-" + QByteArray::number(::geteuid());
    ::mkdir(fixed.constData(), 0700);
    if (isPrivateFolder(fixed))
        return QFile::decodeName(fixed);
    // Someone else holds that name: fall back to a fresh folder of our own for this run.
    static const QString fresh = [] {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/pitchwarden-XXXXXX";
        return ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
    }();
    return fresh;
}

} // namespace

QString TemporaryFolder()
{
    const QString temp = qEnvironmentVariable("TEMP");
    if (!temp.isEmpty())
        return temp;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateFolder(runtime))
        return QFile::decodeName(runtime);
    return privateFolderUnderSystemTemp();
}
