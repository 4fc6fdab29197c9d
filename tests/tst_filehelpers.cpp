#include <csignal>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "support/doevents.h"
#include "support/failure.h"
#include "support/filehelpers.h"
#include "support/tempfolder.h"

// The file helpers behind the tone files, including hostile paths.
class TestFileHelpers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { setDoEventsHandler({}); }

    void fileExists();
    void deleteMissingFileIsQuiet();
    void deleteReadOnlyFile();
    void forcedDeleteThroughAWriteProtectedFolder();
    void deleteRemovesALinkNotItsTarget();
    void writeNewFileByteForByte();
    void writeLeavesAnExistingFileAlone();
    void writeNeverFollowsADanglingLink();
    void writeIntoMissingFolderRaisesTheSystemText();
    void fullDiskLeavesNoFile();
    void bothHelpersYieldFirst();
    void temporaryFolderRule();

private:
    QString path(const char* name) const { return m_dir->filePath(QString::fromLatin1(name)); }
    static QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString& file, const QByteArray& bytes)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    int m_yields = 0;
};

void TestFileHelpers::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_yields = 0;
    setDoEventsHandler([this] { ++m_yields; });
}

void TestFileHelpers::fileExists()
{
    QVERIFY(!FileExists(path("none.mp3")));
    QVERIFY(!FileExists(QString()));
    write(path("some.mp3"), "x");
    QVERIFY(FileExists(path("some.mp3")));
    QVERIFY(FileExists(m_dir->path()));
    QVERIFY(::symlink("/nonexistent/target", QFile::encodeName(path("dangling")).constData()) == 0);
    QVERIFY(!FileExists(path("dangling")));
}

void TestFileHelpers::deleteMissingFileIsQuiet()
{
    DeleteFileForced(path("none.mp3"));
    DeleteFileForced(QString());
    QVERIFY(!QFile::exists(path("none.mp3")));
}

void TestFileHelpers::deleteReadOnlyFile()
{
    write(path("ro.mp3"), "abc");
    QVERIFY(::chmod(QFile::encodeName(path("ro.mp3")).constData(), 0400) == 0);
    DeleteFileForced(path("ro.mp3"));
    QVERIFY(!QFile::exists(path("ro.mp3")));
}

// Run by a user without root's privileges (root removes anything with the plain delete): in a
// folder of that user's, write-protected, the forced delete removes the file and gives the
// folder its mode back; reached through a symbolic link, the folder is left alone.
void TestFileHelpers::forcedDeleteThroughAWriteProtectedFolder()
{
    const QString folder = path("locked");
    const QString link = path("link");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(QFile::link(folder, link));
    const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid(); // root acts as "nobody"
    QVERIFY(::chown(QFile::encodeName(folder).constData(), user, user) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0711) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0))
            ::_exit(10);
        const QByteArray locked = QFile::encodeName(folder);
        for (const char* name : {"/8kHz.mp3", "/10kHz.mp3"}) {
            QFile file(folder + QLatin1String(name));
            if (!file.open(QIODevice::WriteOnly))
                ::_exit(11);
        }
        if (::chmod(locked.constData(), 0500) != 0 || ::unlink(locked + "/8kHz.mp3") == 0)
            ::_exit(12); // the plain delete must be refused, or nothing here is forced
        DeleteFileForced(folder + QStringLiteral("/8kHz.mp3"));
        struct stat info = {};
        ::stat(locked.constData(), &info);
        if (QFile::exists(folder + QStringLiteral("/8kHz.mp3")) || (info.st_mode & 07777) != 0500)
            ::_exit(13);
        DeleteFileForced(link + QStringLiteral("/10kHz.mp3"));
        ::stat(locked.constData(), &info);
        if (!QFile::exists(folder + QStringLiteral("/10kHz.mp3")) || (info.st_mode & 07777) != 0500)
            ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

void TestFileHelpers::deleteRemovesALinkNotItsTarget()
{
    write(path("precious"), "keep me");
    QVERIFY(QFile::link(path("precious"), path("8kHz.mp3")));
    DeleteFileForced(path("8kHz.mp3"));
    QVERIFY(!QFileInfo(path("8kHz.mp3")).isSymLink());
    QCOMPARE(read(path("precious")), QByteArray("keep me"));
}

void TestFileHelpers::writeNewFileByteForByte()
{
    QByteArray bytes(483784, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    WriteBytesIfMissing(bytes, path("8kHz.mp3"));
    QCOMPARE(read(path("8kHz.mp3")), bytes);
    QCOMPARE(QFileInfo(path("8kHz.mp3")).permissions() & (QFile::ReadOther | QFile::ReadGroup),
             QFileDevice::Permissions());
}

void TestFileHelpers::writeLeavesAnExistingFileAlone()
{
    write(path("8kHz.mp3"), "old, shorter");
    WriteBytesIfMissing(QByteArray(1000, 'n'), path("8kHz.mp3"));
    QCOMPARE(read(path("8kHz.mp3")), QByteArray("old, shorter"));
}

void TestFileHelpers::writeNeverFollowsADanglingLink()
{
    const QString target = path("planted-target");
    QVERIFY(QFile::link(target, path("8kHz.mp3")));
    QVERIFY_THROWS_EXCEPTION(Failure, WriteBytesIfMissing("tone", path("8kHz.mp3")));
    QVERIFY(!QFile::exists(target));
    QVERIFY(QFileInfo(path("8kHz.mp3")).isSymLink());
}

void TestFileHelpers::writeIntoMissingFolderRaisesTheSystemText()
{
    try {
        WriteBytesIfMissing("tone", path("missing/8kHz.mp3"));
        QFAIL("no failure raised");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("No such file or directory"));
    }
}

// A full disk, simulated with a file size limit in a child process (the limit is per process).
void TestFileHelpers::fullDiskLeavesNoFile()
{
    const QString file = path("15kHz.mp3");
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int code = 1;
        try {
            WriteBytesIfMissing(QByteArray(100000, 'x'), file);
        } catch (const Failure& failure) {
            code = failure.description() == QStringLiteral("File too large") ? 0 : 2;
        }
        ::_exit(code);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFileInfo::exists(file));
}

void TestFileHelpers::bothHelpersYieldFirst()
{
    int yieldsSeenBeforeWrite = -1;
    setDoEventsHandler([&] {
        ++m_yields;
        yieldsSeenBeforeWrite = QFile::exists(path("y.mp3")) ? 1 : 0;
    });
    WriteBytesIfMissing("x", path("y.mp3"));
    QCOMPARE(m_yields, 1);
    QCOMPARE(yieldsSeenBeforeWrite, 0);
    DeleteFileForced(path("y.mp3"));
    QCOMPARE(m_yields, 2);
    QCOMPARE(yieldsSeenBeforeWrite, 1);
    QVERIFY(!FileExists(path("none")));
    QCOMPARE(m_yields, 2);
}

void TestFileHelpers::temporaryFolderRule()
{
    const QByteArray savedTemp = qgetenv("TEMP");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("TEMP", QFile::encodeName(m_dir->path()));
    QCOMPARE(TemporaryFolder(), m_dir->path());

    qputenv("TEMP", "");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir->path()));
    QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0700) == 0);
    QCOMPARE(TemporaryFolder(), m_dir->path());

    // A runtime folder open to others is not private: the folder under /tmp is used instead.
    QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0777) == 0);
    const QString fallback = TemporaryFolder();
    QVERIFY(fallback != m_dir->path());
    struct stat info = {};
    QCOMPARE(::lstat(QFile::encodeName(fallback).constData(), &info), 0);
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(info.st_mode & 077, 0u);
    QCOMPARE(info.st_uid, ::geteuid());

    qputenv("TEMP", savedTemp);
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
}

QTEST_MAIN(TestFileHelpers)
#include "tst_filehelpers.moc"
