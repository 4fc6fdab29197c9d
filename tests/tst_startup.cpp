#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/cursorfile.h"
#include "app/form1.h"
#include "app/homepage.h"
#include "media/clsmusic.h"
#include "support/apptitle.h"
#include "support/failure.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "support/skinframework.h"

// Start-up and closing of the main window, the skin, the title, the cursor and the home page.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void plainStartUp();
    void titleRules_data();
    void titleRules();
    void titleWithoutSpaceFails();
    void malformedCursorIsReportedAtLine108_data();
    void malformedCursorIsReportedAtLine108();
    void nonRegularCursorIsReportedAtLine108_data();
    void nonRegularCursorIsReportedAtLine108();
    void cursorHotspotComesFromTheFile();
    void homePageOpensOnSevenOnly();
    void homePageFailureIsReportedAtLine110();
    void skinRecoloursAndStyles();
    void skinComponentGetsSixCallsInOrder();
    void absentOrNonOrdinarySkinChangesNothing();
    void failingSkinKeepsTheColoursAndStartUpGoesOn();
    void closeWhileIdleStopsNothing();
    void closeWithoutPlayerReportsTwice();

private:
    QString installed(const QString& name) const { return m_folder->filePath(name); }
    void writeFile(const QString& path, const QByteArray& bytes);
    std::unique_ptr<Form1> startUp();

    std::unique_ptr<QTemporaryDir> m_folder;
    QStringList m_messages;
    QList<QUrl> m_opened;
    double m_draw = 0.5;
    int m_programEnds = 0;
};

// Stands in for the skin component: records every call, answers the options read with 6 and
// passes the rest on to the real component.
class RecordingSkin : public SkinFramework
{
public:
    QVariant Invoke(int dispatchId, CallKind kind, const QVariantList& args) override
    {
        QStringList shown;
        for (const QVariant& arg : args)
            shown << QStringLiteral("%1 %2").arg(QString::fromLatin1(arg.typeName()),
                                                 arg.toString());
        calls << QStringLiteral("%1/%2(%3)").arg(dispatchId).arg(kind).arg(shown.join(", "));
        if (dispatchId == Options && kind == PropertyGet)
            return 6;
        return SkinFramework::Invoke(dispatchId, kind, args);
    }

    QStringList calls;
};

void TestStartup::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    setInstallationFolderForTesting(m_folder->path());
    m_messages.clear();
    m_opened.clear();
    m_draw = 0.5;
    m_programEnds = 0;
    setMessageBoxPresenter(
        [this](const QString& text, int, const QString&) { m_messages << text; });
    HomePageLottery::setRandomSource([this] { return m_draw; });
    HomePageLottery::setOpener([this](const QUrl& url) { m_opened << url; });
    Form1::setProgramEnd([this] { ++m_programEnds; });
}

void TestStartup::cleanup()
{
    setMessageBoxPresenter({});
    HomePageLottery::setOpener({});
    Form1::setProgramEnd({});
}

void TestStartup::writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

std::unique_ptr<Form1> TestStartup::startUp()
{
    auto form = std::make_unique<Form1>();
    form->Form_Load();
    return form;
}

void TestStartup::plainStartUp()
{
    const auto form = startUp();
    QCOMPARE(form->windowTitle(), QStringLiteral("Pitchwarden Ear Check"));
    QCOMPARE(ApplicationTitle(), QStringLiteral("Pitchwarden Ear"));
    QVERIFY(!form->MouseIcon().has_value()); // no cursor file: the system pointers, no message
    QVERIFY(form->Music() != nullptr);
    QCOMPARE(form->Music()->State(), 0);
    QCOMPARE(form->BackColor(), QColor(Qt::white));
    form->show(); // the window system gets the icon once the window is on the screen
    QTRY_VERIFY(!form->windowIcon().isNull());
    const QList<QSize> sizes = form->windowIcon().availableSizes();
    for (const QSize size : {QSize(32, 32), QSize(48, 48), QSize(128, 128), QSize(256, 256)})
        QVERIFY2(sizes.contains(size), qPrintable(QString::number(size.width())));
    // Wayland shells match the window to the installed desktop entry by this name.
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("example.pitchwarden.EarCheck"));
    QVERIFY(QFile::exists(QStringLiteral(PITCHWARDEN_SOURCE_DIR "/resources/desktop/") +
                          QGuiApplication::desktopFileName() + QStringLiteral(".desktop")));
    QVERIFY(m_messages.isEmpty());
    QVERIFY(m_opened.isEmpty());
}

void TestStartup::titleRules_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::addRow("three words") << "Pitchwarden Ear Check"
                                 << "Pitchwarden Ear";
    QTest::addRow("sixty characters of short words")
        << "ab cd ef gh ij kl mn op qr st uv wx yz ab cd ef gh ij kl mnop"
        << "ab cd ef gh ij kl mn op qr st uv wx yz";
    QTest::addRow("first cut is enough") << "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa b"
                                         << "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
    QTest::addRow("two spaces before the last word") << "Pitchwarden Ear  Check"
                                                     << "Pitchwarden Ear ";
}

void TestStartup::titleRules()
{
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(ApplicationTitleFrom(name), title);
    QVERIFY(ApplicationTitleFrom(name).size() <= 40);
}

void TestStartup::titleWithoutSpaceFails()
{
    QVERIFY_THROWS_EXCEPTION(Failure, ApplicationTitleFrom(QStringLiteral("Pitchwarden")));
    QVERIFY_THROWS_EXCEPTION(Failure, ApplicationTitleFrom(QStringLiteral(
                                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa b")));
}

void TestStartup::malformedCursorIsReportedAtLine108_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addRow("empty") << QByteArray();
    QTest::addRow("text") << QByteArray("not a cursor at all");
    QTest::addRow("icon, not cursor") << QByteArray("\0\0\1\0\1\0", 6) + QByteArray(40, 'x');
    QTest::addRow("huge count") << QByteArray("\0\0\2\0\xff\xff", 6) + QByteArray(40, '\0');
    QTest::addRow("offset past the end")
        << QByteArray("\0\0\2\0\1\0 \x20\0\0\3\0\1\0\x10\0\0\0\xff\xff\0\0", 22);
}

void TestStartup::malformedCursorIsReportedAtLine108()
{
    QFETCH(QByteArray, bytes);
    writeFile(installed(QStringLiteral("HAND-M.CUR")), bytes);
    const auto form = startUp();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY2(m_messages[0].contains(
                 QStringLiteral("\r\nin Pitchwarden2021/08/31.Form1.Form_Load at line 108\r\r")),
             qPrintable(m_messages[0]));
    QVERIFY(!form->MouseIcon().has_value());
    QVERIFY(form->Music() != nullptr); // start-up went on
}

void TestStartup::nonRegularCursorIsReportedAtLine108_data()
{
    QTest::addColumn<bool>("pipe");
    QTest::addRow("pipe") << true;
    QTest::addRow("folder") << false;
}

void TestStartup::nonRegularCursorIsReportedAtLine108()
{
    QFETCH(bool, pipe);
    const QString cursor = installed(QStringLiteral("HAND-M.CUR"));
    const QByteArray name = QFile::encodeName(cursor);
    QVERIFY(pipe ? ::mkfifo(name.constData(), 0600) == 0 : QDir().mkdir(cursor));
    // A reader that waits for a writer would wait for ever: first try it where a hang ends.
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::alarm(10);
        try {
            LoadCursorFile(cursor);
        } catch (const Failure&) {
            ::_exit(0);
        }
        ::_exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(!WIFSIGNALED(status), "reading the cursor file hung");
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const auto form = startUp();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY2(m_messages[0].contains(QStringLiteral("Form1.Form_Load at line 108\r")),
             qPrintable(m_messages[0]));
    QVERIFY(!form->MouseIcon().has_value());
    QVERIFY(form->Music() != nullptr);
}

void TestStartup::cursorHotspotComesFromTheFile()
{
    QVERIFY(QFile::copy(QStringLiteral(PITCHWARDEN_SOURCE_DIR "/resources/HAND-M.CUR"),
                        installed(QStringLiteral("HAND-M.CUR"))));
    const auto form = startUp();
    QVERIFY(m_messages.isEmpty());
    QVERIFY(form->MouseIcon().has_value());
    QCOMPARE(form->MouseIcon()->hotSpot(), QPoint(11, 1));
    QCOMPARE(form->MouseIcon()->pixmap().size(), QSize(32, 32));
}

void TestStartup::homePageOpensOnSevenOnly()
{
    for (double r : {0.0, 0.0599, 0.0799, 0.5, 0.9999})
        m_draw = r, startUp();
    QVERIFY(m_opened.isEmpty());
    m_draw = 0.0625; // int(6.25) + 1 = 7
    startUp();
    QCOMPARE(m_opened, QList<QUrl>({HomePageLottery::address()}));
}

void TestStartup::homePageFailureIsReportedAtLine110()
{
    m_draw = 0.065;
    HomePageLottery::setOpener([](const QUrl&) { throw Failure(QStringLiteral("No browser")); });
    const auto form = startUp();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(m_messages[0].startsWith(
        QStringLiteral("No browser\r\nin Pitchwarden2021/08/31.Form1.Form_Load at line 110\r")));
    QVERIFY(form->Music() != nullptr);
}

void TestStartup::skinRecoloursAndStyles()
{
    writeFile(installed(QStringLiteral("x/o.cjs")), "QPushButton { color: rgb(10, 20, 30); }");
    const auto form = startUp();
    QVERIFY(m_messages.isEmpty());
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    QCOMPARE(form->BackColor(), buttonFace);
    QCOMPARE(form->frame(4)->BackColor(), buttonFace);
    QCOMPARE(form->pushButton(4)->palette().color(QPalette::Button), QColor(Qt::white));
    QVERIFY(form->styleSheet().contains(QStringLiteral("rgb(10, 20, 30)")));
}

void TestStartup::skinComponentGetsSixCallsInOrder()
{
    QWidget window;
    RecordingSkin skin;
    ApplySkin(window, skin); // no skin file: no call
    QCOMPARE(skin.calls, QStringList());

    const QString path = installed(QStringLiteral("x/o.cjs"));
    writeFile(path, "QPushButton { color: red; }");
    ApplySkin(window, skin);
    const QString handle = QString::number(qint32(window.winId()));
    QCOMPARE(skin.calls,
             QStringList({"2/0(QString " + path + ", QString )", "1/1()", "1/2(int 7)",
                          "5/2(bool true)", "10/2(bool true)", "3/0(int " + handle + ")"}));
    QCOMPARE(window.styleSheet(), QStringLiteral("QPushButton { color: red; }"));
}

void TestStartup::absentOrNonOrdinarySkinChangesNothing()
{
    QDir().mkpath(installed(QStringLiteral("x/o.cjs"))); // a folder of that name
    auto form = startUp();
    QCOMPARE(form->BackColor(), QColor(Qt::white));
    QVERIFY(form->styleSheet().isEmpty());
    QDir(installed(QStringLiteral("x/o.cjs"))).removeRecursively();
    QVERIFY(::mkfifo(QFile::encodeName(installed(QStringLiteral("x/o.cjs"))).constData(), 0600) ==
            0);
    form = startUp(); // a pipe must not hang start-up
    QCOMPARE(form->frame(1)->BackColor(), QColor(Qt::white));
    QVERIFY(m_messages.isEmpty());
}

void TestStartup::failingSkinKeepsTheColoursAndStartUpGoesOn()
{
    writeFile(installed(QStringLiteral("x/o.cjs")), QByteArray("QWidget { color: red; \0\xff", 25));
    const auto form = startUp();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(m_messages[0].contains(QStringLiteral("Form1.Form_Load at line 100\r")));
    QCOMPARE(form->frame(2)->BackColor(), QApplication::palette().color(QPalette::Button));
    QCOMPARE(form->windowTitle(), QStringLiteral("Pitchwarden Ear Check"));

    SkinFramework skin;
    QVERIFY_THROWS_EXCEPTION(Failure, skin.Invoke(42, SkinFramework::Method, {}));
}

void TestStartup::closeWhileIdleStopsNothing()
{
    const auto form = startUp();
    form->show();
    QVERIFY(form->close());
    QVERIFY(m_messages.isEmpty());
    QCOMPARE(form->Music()->State(), 0);
    QCOMPARE(m_programEnds, 1);
}

void TestStartup::closeWithoutPlayerReportsTwice()
{
    Form1 form; // the load procedure never ran: no player
    qint16 cancel = 0;
    form.Form_QueryUnload(cancel, 0);
    QCOMPARE(m_messages.size(), 2);
    for (const QString& message : m_messages)
        QVERIFY(message.contains(QStringLiteral("Form1.Form_QueryUnload at line 100\r")));
    QCOMPARE(cancel, qint16(0));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
