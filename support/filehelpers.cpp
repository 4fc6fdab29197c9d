#include "support/filehelpers.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

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
    if (name.isEmpty() || ::unlink(name.constData()) == 0)
        return;
    // The forced delete: make a read-only regular file writable first, then try once more.
    struct stat info = {};
    if (::lstat(name.constData(), &info) == 0 && S_ISREG(info.st_mode)) {
        ::chmod(name.constData(), info.st_mode | S_IWUSR);
        ::unlink(name.constData());
    }
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
