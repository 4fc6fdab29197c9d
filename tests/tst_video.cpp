#include <memory>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <gst/gst.h>

#include "media/clsmusic.h"
#include "recordingvideosink.h"
#include "testtone.h"

// Video media in the player: opening, placement in the owner window and seeking. The video
// sink records the overlay calls instead of drawing, so no display is needed.
class TestVideo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void openingVideo();
    void placement_data();
    void placement();
    void windowWriteTakesEffectAtTheNextOpening();
    void audioOnlyMediaShowsNoVideo();
    void seekLeavesTheGraphStopped_data();
    void seekLeavesTheGraphStopped();
    void seekToTheEndReturns_data();
    void seekToTheEndReturns();

private:
    static QString makeVideo(const QString& path);
    static qint32 handleOf(QWidget& widget);

    QTemporaryDir m_dir;
    QString m_video;
};

namespace {

constexpr int VideoWidth = 176;
constexpr int VideoHeight = 144;
constexpr double VideoSeconds = 3.0;

struct PipelineUnref
{
    void operator()(GstElement* pipeline) const
    {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
};

} // namespace

// Theora in Ogg: both come with GStreamer's base plugins.
QString TestVideo::makeVideo(const QString& path)
{
    const QString description =
        QStringLiteral("videotestsrc num-buffers=%1 ! video/x-raw,width=%2,height=%3,"
                       "framerate=15/1 ! theoraenc ! oggmux ! filesink location=\"%4\"")
            .arg(int(VideoSeconds * 15))
            .arg(VideoWidth)
            .arg(VideoHeight)
            .arg(path);
    GError* error = nullptr;
    std::unique_ptr<GstElement, PipelineUnref> pipeline(
        gst_parse_launch(description.toUtf8().constData(), &error));
    if (error) {
        qWarning("%s", error->message);
        g_error_free(error);
        return {};
    }
    if (!pipeline ||
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return {};
    GstBus* bus = gst_element_get_bus(pipeline.get());
    GstMessage* end = gst_bus_timed_pop_filtered(
        bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    const bool done = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
    if (end)
        gst_message_unref(end);
    return done ? path : QString();
}

qint32 TestVideo::handleOf(QWidget& widget)
{
    return static_cast<qint32>(widget.winId());
}

void TestVideo::initTestCase()
{
    gst_init(nullptr, nullptr);
    QVERIFY(RecordingVideoSink::registerElement());
    qputenv("PITCHWARDEN_VIDEO_SINK", "recordingvideosink");
    QVERIFY(m_dir.isValid());
    m_video = makeVideo(m_dir.filePath(QStringLiteral("clip.ogv")));
    QVERIFY(!m_video.isEmpty());
}

void TestVideo::openingVideo()
{
    clsMusic music;
    music.setFileName(m_video);
    QVERIFY(music.HasVideo());
    QVERIFY(!music.HasAudio());
    QCOMPARE(music.Width(), QVariant::fromValue<qint32>(VideoWidth));
    QCOMPARE(music.Height(), QVariant::fromValue<qint32>(VideoHeight));
    QCOMPARE(music.State(), 0);
    QVERIFY2(music.Position() < 0.001, qPrintable(QString::number(music.Position())));
    QVERIFY(std::abs(music.Duration() - VideoSeconds) < 0.1);
}

void TestVideo::placement_data()
{
    QTest::addColumn<int>("owner"); // 0 none, 1 a window of ours, 2 a handle of no window of ours
    QTest::newRow("no owner") << 0;
    QTest::newRow("own window") << 1;
    QTest::newRow("unknown handle") << 2;
}

// The video fills the owner window's outer rectangle; an owner whose rectangle can't be read
// gets the video with no size of its own (the sink then fills the whole window).
void TestVideo::placement()
{
    QFETCH(int, owner);
    QWidget window;
    window.setGeometry(40, 30, 320, 200);
    const qint32 handle = owner == 0 ? 0 : owner == 1 ? handleOf(window) : 0x3fffff01;
    clsMusic music;
    music.setWindow(handle);
    RecordingVideoSink::take();
    music.setFileName(m_video);
    const auto record = RecordingVideoSink::take();
    QCOMPARE(record.handleCalls, 1);
    QCOMPARE(record.handle, guintptr(handle));
    if (owner == 1) {
        QCOMPARE(record.rectangle, QRect(QPoint(0, 0), window.frameGeometry().size()));
    } else {
        QCOMPARE(record.rectangleCalls, 0);
    }
    QVERIFY(record.exposes > 0);
}

void TestVideo::windowWriteTakesEffectAtTheNextOpening()
{
    QWidget first;
    first.setGeometry(0, 0, 300, 200);
    QWidget second;
    second.setGeometry(10, 10, 240, 180);
    clsMusic music;
    music.setWindow(handleOf(first));
    music.setFileName(m_video);
    RecordingVideoSink::take();

    music.setWindow(handleOf(second));
    QCOMPARE(music.Window(), handleOf(second));
    const auto untouched = RecordingVideoSink::take();
    QCOMPARE(untouched.handleCalls, 0);
    QCOMPARE(untouched.rectangleCalls, 0);

    music.setFileName(m_video);
    const auto moved = RecordingVideoSink::take();
    QCOMPARE(moved.handle, guintptr(handleOf(second)));
    QCOMPARE(moved.rectangle, QRect(QPoint(0, 0), second.frameGeometry().size()));
}

void TestVideo::audioOnlyMediaShowsNoVideo()
{
    const QString tone = makeTestTone(m_dir.path(), 0.5);
    QVERIFY(!tone.isEmpty());
    QWidget window;
    clsMusic music;
    music.setWindow(handleOf(window));
    RecordingVideoSink::take();
    music.setFileName(tone);
    music.setPosition(0.1);
    music.Play();
    QTRY_VERIFY(music.Position() > 0.2);
    QVERIFY(music.HasAudio());
    QVERIFY(!music.HasVideo());
    const auto record = RecordingVideoSink::take();
    QCOMPARE(record.capsSeen, 0);
    QCOMPARE(record.handleCalls, 0);
    QCOMPARE(record.rectangleCalls, 0);
    QCOMPARE(record.exposes, 0);
}

void TestVideo::seekLeavesTheGraphStopped_data()
{
    QTest::addColumn<int>("before"); // the State before the seek
    QTest::addColumn<double>("target");
    QTest::newRow("stopped") << 0 << 1.0;
    QTest::newRow("playing") << 1 << 1.0;
    QTest::newRow("paused") << 2 << 2.0;
    QTest::newRow("playing, back to 0") << 1 << 0.0;
}

void TestVideo::seekLeavesTheGraphStopped()
{
    QFETCH(int, before);
    QFETCH(double, target);
    clsMusic music;
    music.setFileName(m_video);
    if (before != 0) {
        music.Play();
        QTRY_VERIFY(music.Position() > 0.3);
    }
    if (before == 2)
        music.Pause();
    QCOMPARE(music.State(), before);
    music.setPosition(target);
    QCOMPARE(music.State(), 0);
    QVERIFY2(std::abs(music.Position() - target) < 0.001,
             qPrintable(QString::number(music.Position())));
}

void TestVideo::seekToTheEndReturns_data()
{
    QTest::addColumn<double>("beyond"); // seconds past the end
    QTest::newRow("the end") << 0.0;
    QTest::newRow("past the end") << 100.0;
}

// The position never passes the end, so the wait for the frame there has to give up by itself.
void TestVideo::seekToTheEndReturns()
{
    QFETCH(double, beyond);
    clsMusic music;
    music.setFileName(m_video);
    QElapsedTimer timer;
    timer.start();
    music.setPosition(music.Duration() + beyond);
    QVERIFY2(timer.elapsed() < 60000, "the seek waited without bound");
    QCOMPARE(music.State(), 0);
    QCOMPARE(music.Position(), music.Duration());
}

QTEST_MAIN(TestVideo)
#include "tst_video.moc"
