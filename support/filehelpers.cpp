#include "support/filehelpers.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "support/doevents.h"
#include "support/failure.h"

namespace {

// Owns an open file descriptor.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    // Closes now and reports whether the close succeeded (a late write error shows up here).
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd = -1;
};

void writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw Failure::fromErrno(errno);
        }
        data += written;
        left -= written;
    }
}

// A file is removed through its folder: where the folder is write-protected, even its owner
// cannot remove the file. The forced delete lets the owner write to the folder for as long as
// the removal takes, then gives the folder back its mode. The folder is changed only through
// what was opened, and never when it is reached through a symbolic link or belongs to someone
// else.
void deleteFromWriteProtectedFolder(const QString& path)
{
    const QFileInfo file(path);
    FileDescriptor folder(::open(QFile::encodeName(file.path()).constData(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info = {};
    if (folder.get() < 0 || ::fstat(folder.get(), &info) != 0 || info.st_uid != ::geteuid())
        return;
    const mode_t mode = info.st_mode & 07777;
    if (::fchmod(folder.get(), mode | S_IWUSR | S_IXUSR) != 0)
        return;
    ::unlinkat(folder.get(), QFile::encodeName(file.fileName()).constData(), 0);
    ::fchmod(folder.get(), mode);
}

} // namespace

bool FileExists(const QString& path)
{
    struct stat info = {};
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0;
}

void DeleteFileForced(const QString& path)
{
    DoEvents();
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty() || ::unlink(name.constData()) == 0 || errno != EACCES)
        return;
    deleteFromWriteProtectedFolder(path);
}

void WriteBytesIfMissing(const QByteArray& bytes, const QString& path)
{
    DoEvents();
    if (FileExists(path))
        return;
    const QByteArray name = QFile::encodeName(path);
    FileDescriptor file(
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0)
        throw Failure::fromErrno(name.isEmpty() ? ENOENT : errno);
    try {
        writeAll(file.get(), bytes);
        if (!file.close())
            throw Failure::fromErrno(errno);
    } catch (...) {
        // A truncated tone file would be played on every later press: remove what was written.
        file.close();
        ::unlink(name.constData());
        throw;
    }
}
