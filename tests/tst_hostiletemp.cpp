#include <csignal>
#include <map>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include "app/form1.h"
#include "app/homepage.h"
#include "support/errortrap.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "testtone.h"
#include "tones/tonecatalogue.h"
#include "tones/toneplayback.h"

// A press with the real controller and player when the temporary folder, or what lies at the
// tone file's path, is not what the program expects.
class TestHostileTemp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hostileTemporaryFolder_data();
    void hostileTemporaryFolder();

private:
    enum Hostility
    {
        MissingFolder,
        FileInsteadOfFolder,
        FolderWithoutWritePermission,
        FullDisk,
        DanglingLink,
        LinkToAnotherFile,
        GarbageFile,
        Fifo,
        FolderAtThePath,
    };

    // What lies under the sandbox: type, size, content digest or link target, per relative path.
    using Snapshot = std::map<QString, QString>;
    Snapshot snapshot() const;
    QString sandbox(const QString& name) const { return m_sandbox->filePath(name); }
    // Sets up the case; returns the tone file's path as the press will form it.
    QString prepare(Hostility hostility, const ToneEntry& tone);
    // Runs the press as someone else or under a file size limit where the case asks for it.
    void pressAs(Hostility hostility, int row);

    QTemporaryDir m_sources;
    QString m_shortTone;
    std::unique_ptr<QTemporaryDir> m_sandbox;
    std::unique_ptr<Form1> m_form;
    QStringList m_messages;
};

namespace {

constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

bool existsAtAll(const QString& path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// Switches the effective user to an unprivileged one for its lifetime, when running as root
// (a user other than root is refused by a read-only folder already). Only the effective ids
// change, so root can be taken back; a child process could not go on using the player's
// threads after a fork.
class UnprivilegedScope
{
public:
    UnprivilegedScope()
    {
        if (::geteuid() != 0)
            return;
        m_dumpable = ::prctl(PR_GET_DUMPABLE);
        m_switched = ::setegid(NoGroup) == 0 && ::seteuid(Nobody) == 0;
    }
    ~UnprivilegedScope()
    {
        if (!m_switched)
            return;
        if (::seteuid(0) != 0 || ::setegid(0) != 0)
            qFatal("cannot return to the original user");
        // Changing the user made the process undumpable, which would keep the leak checker
        // from inspecting it at exit.
        ::prctl(PR_SET_DUMPABLE, m_dumpable);
    }
    UnprivilegedScope(const UnprivilegedScope&) = delete;
    UnprivilegedScope& operator=(const UnprivilegedScope&) = delete;

    bool unprivileged() const { return m_switched || ::geteuid() != 0; }

private:
    bool m_switched = false;
    int m_dumpable = 1;
};

// A disk that takes no more than `bytes` per file, for its lifetime: the soft file size limit
// of this process, with the signal that exceeding it raises ignored. The hard limit stays, so
// the old limit can be restored.
class FileSizeLimitScope
{
public:
    explicit FileSizeLimitScope(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {bytes, m_saved.rlim_max};
        m_applied = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimitScope()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }
    FileSizeLimitScope(const FileSizeLimitScope&) = delete;
    FileSizeLimitScope& operator=(const FileSizeLimitScope&) = delete;

    bool applied() const { return m_applied; }

private:
    rlimit m_saved = {};
    void (*m_savedHandler)(int) = SIG_DFL;
    bool m_applied = false;
};

} // namespace

void TestHostileTemp::initTestCase()
{
    m_shortTone = makeTestTone(m_sources.path(), 0.2);
    QVERIFY(!m_shortTone.isEmpty());
    HomePageLottery::setRandomSource([] { return 0.5; });
    setInstallationFolderForTesting(m_sources.path());
}

void TestHostileTemp::init()
{
    m_sandbox = std::make_unique<QTemporaryDir>();
    QVERIFY(m_sandbox->isValid());
    // Open to others so that an unprivileged user can reach the folders inside.
    QCOMPARE(::chmod(QFile::encodeName(m_sandbox->path()).constData(), 0755), 0);
    QVERIFY(QDir(m_sandbox->path()).mkpath(QStringLiteral("temp")));
    QVERIFY(QDir(m_sandbox->path()).mkpath(QStringLiteral("outside")));
    QFile precious(sandbox(QStringLiteral("outside/precious.txt")));
    QVERIFY(precious.open(QIODevice::WriteOnly));
    precious.write("keep me");
    precious.close();
    QVERIFY(QFile::copy(m_shortTone, sandbox(QStringLiteral("outside/other.mp3"))));
    qputenv("TEMP", QFile::encodeName(sandbox(QStringLiteral("temp"))));

    m_messages.clear();
    setMessageBoxPresenter([this](const QString& text, int style, const QString& title) {
        m_messages << QStringLiteral("%1|%2|%3").arg(text).arg(style).arg(title);
    });
    m_form = std::make_unique<Form1>();
    m_form->Form_Load();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestHostileTemp::cleanup()
{
    m_form.reset();
    setMessageBoxPresenter({});
    // The read-only folder's contents must be removable again.
    ::chmod(QFile::encodeName(sandbox(QStringLiteral("locked"))).constData(), 0755);
    m_sandbox.reset();
}

TestHostileTemp::Snapshot TestHostileTemp::snapshot() const
{
    Snapshot entries;
    QDirIterator it(m_sandbox->path(),
                    QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat info = {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
            continue;
        QString entry = QString::number(info.st_mode, 8);
        if (S_ISLNK(info.st_mode)) {
            entry += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        } else if (S_ISREG(info.st_mode)) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                entry += QStringLiteral(" ") +
                         QString::fromLatin1(
                             QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                                 .toHex());
        }
        entries[QDir(m_sandbox->path()).relativeFilePath(path)] = entry;
    }
    return entries;
}

QString TestHostileTemp::prepare(Hostility hostility, const ToneEntry& tone)
{
    switch (hostility) {
    case MissingFolder:
        qputenv("TEMP", QFile::encodeName(sandbox(QStringLiteral("missing"))));
        break;
    case FileInsteadOfFolder:
        qputenv("TEMP", QFile::encodeName(sandbox(QStringLiteral("outside/precious.txt"))));
        break;
    case FolderWithoutWritePermission:
        QDir(m_sandbox->path()).mkpath(QStringLiteral("locked"));
        ::chmod(QFile::encodeName(sandbox(QStringLiteral("locked"))).constData(), 0555);
        qputenv("TEMP", QFile::encodeName(sandbox(QStringLiteral("locked"))));
        break;
    default:
        break;
    }
    const QString path = ToneFilePath(tone);
    switch (hostility) {
    case DanglingLink:
        QFile::link(sandbox(QStringLiteral("outside/planted.mp3")), path);
        break;
    case LinkToAnotherFile:
        QFile::link(sandbox(QStringLiteral("outside/other.mp3")), path);
        break;
    case GarbageFile: {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            for (int i = 0; i < 5000; ++i)
                file.write(QByteArray::number(i * 7919 % 251));
        break;
    }
    case Fifo:
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
        break;
    case FolderAtThePath:
        QDir().mkpath(path + QStringLiteral("/inside"));
        break;
    default:
        break;
    }
    return path;
}

void TestHostileTemp::pressAs(Hostility hostility, int row)
{
    if (hostility == FolderWithoutWritePermission) {
        UnprivilegedScope scope;
        QVERIFY(scope.unprivileged());
        QTest::mouseClick(m_form->pushButton(row), Qt::LeftButton);
    } else if (hostility == FullDisk) {
        // Well below the size of any recording.
        FileSizeLimitScope scope(64 * 1024);
        QVERIFY(scope.applied());
        QTest::mouseClick(m_form->pushButton(row), Qt::LeftButton);
    } else {
        QTest::mouseClick(m_form->pushButton(row), Qt::LeftButton);
    }
}

void TestHostileTemp::hostileTemporaryFolder_data()
{
    QTest::addColumn<int>("hostility");
    QTest::addColumn<int>("row");
    // The failure the error box names at the write's line; empty when no box is shown.
    QTest::addColumn<QString>("failure");
    // Whether what was at the tone file's path is still there after the press.
    QTest::addColumn<bool>("pathRemains");

    QTest::addRow("missing folder")
        << int(MissingFolder) << 4 << "No such file or directory" << false;
    QTest::addRow("file instead of folder")
        << int(FileInsteadOfFolder) << 1 << "Not a directory" << false;
    QTest::addRow("no write permission")
        << int(FolderWithoutWritePermission) << 5 << "Permission denied" << false;
    QTest::addRow("full disk") << int(FullDisk) << 11 << "File too large" << false;
    // The write never follows a link: the tone file can't be created, and the link, as
    // whatever else lies at the path, is removed after the tone.
    QTest::addRow("dangling link") << int(DanglingLink) << 6 << "File exists" << false;
    // An existing file at the path is played instead of the recording and then deleted.
    QTest::addRow("link to another file") << int(LinkToAnotherFile) << 7 << QString() << false;
    QTest::addRow("link, closing B") << int(LinkToAnotherFile) << 3 << QString() << false;
    QTest::addRow("garbage file") << int(GarbageFile) << 8 << QString() << false;
    QTest::addRow("fifo") << int(Fifo) << 9 << QString() << false;
    QTest::addRow("fifo, closing B") << int(Fifo) << 2 << QString() << false;
    // A folder is no file: the forced delete leaves it and what it holds alone.
    QTest::addRow("folder at the path") << int(FolderAtThePath) << 10 << QString() << true;
}

void TestHostileTemp::hostileTemporaryFolder()
{
    QFETCH(int, hostility);
    QFETCH(int, row);
    QFETCH(QString, failure);
    QFETCH(bool, pathRemains);

    const auto& tone = ToneCatalogue::row(row);
    const QString path = prepare(Hostility(hostility), tone);
    const QString relativePath = QDir(m_sandbox->path()).relativeFilePath(path);
    Snapshot before = snapshot();
    const QString atPathBefore = before.count(relativePath) ? before[relativePath] : QString();
    QCOMPARE(atPathBefore.isEmpty(), hostility < DanglingLink); // the case is set up

    pressAs(Hostility(hostility), row);

    QCOMPARE(m_form->pushButton(row)->Caption(), tone.buttonCaption);
    QVERIFY(!m_form->controller().Playing());
    QStringList expected;
    if (!failure.isEmpty())
        expected << QStringLiteral("%1|%2|Application Error")
                        .arg(ErrorTrap::message(
                            failure,
                            ErrorTrap::locationFor(QStringLiteral("PushButton%1_Click").arg(row)),
                            112))
                        .arg(int(Exclamation));
    QCOMPARE(m_messages, expected);

    // Nothing was written, created or removed anywhere but at the tone file's path.
    Snapshot after = snapshot();
    const QString atPathAfter = after.count(relativePath) ? after[relativePath] : QString();
    for (auto* entries : {&before, &after})
        for (auto it = entries->begin(); it != entries->end();)
            it = it->first == relativePath || it->first.startsWith(relativePath + QLatin1Char('/'))
                     ? entries->erase(it)
                     : std::next(it);
    QCOMPARE(after, before);
    QCOMPARE(atPathAfter, pathRemains ? atPathBefore : QString());
    QVERIFY(!existsAtAll(sandbox(QStringLiteral("outside/planted.mp3"))));
    QVERIFY(!existsAtAll(sandbox(QStringLiteral("missing"))));
    if (pathRemains)
        QVERIFY(QFileInfo(path + QStringLiteral("/inside")).isDir());
    else
        QVERIFY(!existsAtAll(path));
}

QTEST_MAIN(TestHostileTemp)
#include "tst_hostiletemp.moc"
