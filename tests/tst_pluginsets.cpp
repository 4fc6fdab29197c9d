#include <mutex>
#include <utility>

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <gst/gst.h>

#include "media/clsmusic.h"
#include "testtone.h"

namespace {

// Every element GStreamer makes in this process, by factory name, seen through a tracer.
class ElementLog
{
public:
    static void start()
    {
        const GTypeInfo info = {sizeof(GstTracerClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                                sizeof(GstTracer),      0,       nullptr, nullptr};
        const GType type =
            g_type_register_static(GST_TYPE_TRACER, "PitchwardenElementLog", &info, GTypeFlags(0));
        auto* tracer = static_cast<GstTracer*>(g_object_new(type, nullptr));
        gst_tracing_register_hook(tracer, "element-new", G_CALLBACK(&ElementLog::made));
        gst_object_unref(tracer); // the tracing hooks keep it
    }

    // The names logged since the last call.
    static QStringList take()
    {
        const std::scoped_lock hold(lock());
        return std::exchange(log(), {});
    }

private:
    static void made(GstTracer*, GstClockTime, GstElement* element)
    {
        GstElementFactory* factory = gst_element_get_factory(element);
        const std::scoped_lock hold(lock());
        log() << QString::fromUtf8(factory ? GST_OBJECT_NAME(factory) : "?");
    }
    static std::mutex& lock()
    {
        static std::mutex instance;
        return instance;
    }
    static QStringList& log()
    {
        static QStringList instance;
        return instance;
    }
};

// An element that claims a kind of work, as a plugin set adds one, and does none of it.
void registerStandIn(const char* name, const char* klass, GstPadDirection direction,
                     const char* caps)
{
    struct Data
    {
        const char* klass;
        GstPadDirection direction;
        const char* caps;
    };
    const GTypeInfo info = {
        sizeof(GstElementClass),
        nullptr,
        nullptr,
        [](gpointer klass, gpointer data) {
            const auto* d = static_cast<const Data*>(data);
            auto* element = GST_ELEMENT_CLASS(klass);
            gst_element_class_set_static_metadata(element, "Stand-in", d->klass, "Claims work",
                                                  "tests");
            const auto addPad = [element](const char* name, GstPadDirection side,
                                          const char* description) {
                GstCaps* caps = gst_caps_from_string(description);
                gst_element_class_add_pad_template(
                    element, gst_pad_template_new(name, side, GST_PAD_ALWAYS, caps));
                gst_caps_unref(caps);
            };
            addPad("sink", GST_PAD_SINK, d->caps);
            if (d->direction == GST_PAD_SRC)
                addPad("src", GST_PAD_SRC, "audio/x-raw");
        },
        nullptr,
        new Data{klass, direction, caps}, // the class keeps it for the process
        sizeof(GstElement),
        0,
        nullptr,
        nullptr};
    const GType type = g_type_register_static(GST_TYPE_ELEMENT, name, &info, GTypeFlags(0));
    QVERIFY(gst_element_register(nullptr, name, GST_RANK_PRIMARY + 1000, type));
}

} // namespace

// What the player chooses does not depend on the GStreamer plugin sets a desktop has installed:
// those add MP3 decoders and audio sinks of their own, of any rank.
class TestPluginSets : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decoderAndSinkAreThePlayersOwn_data();
    void decoderAndSinkAreThePlayersOwn();

private:
    QTemporaryDir m_dir;
};

// Registered before the player starts GStreamer's use, as an installed plugin set is.
void TestPluginSets::initTestCase()
{
    gst_init(nullptr, nullptr);
    registerStandIn("standinmp3dec", "Codec/Decoder/Audio", GST_PAD_SRC,
                    "audio/mpeg, mpegversion=(int)1, layer=(int)[1,3]");
    registerStandIn("standinaudiosink", "Sink/Audio", GST_PAD_SINK, "audio/x-raw");
    ElementLog::start();
    QVERIFY(m_dir.isValid());
}

void TestPluginSets::decoderAndSinkAreThePlayersOwn_data()
{
    QTest::addColumn<bool>("testSink");
    QTest::addColumn<QString>("sink");
    QTest::newRow("the sink the tests give") << true << QStringLiteral("fakesink");
    QTest::newRow("no sound server: the sound card") << false << QStringLiteral("alsasink");
}

// Without a sound server the player plays to ALSA's default device, here a card at 48 kHz that
// swallows what it gets.
void TestPluginSets::decoderAndSinkAreThePlayersOwn()
{
    QFETCH(bool, testSink);
    QFETCH(QString, sink);
    const QByteArray given = qgetenv("PITCHWARDEN_AUDIO_SINK");
    const QByteArray home = qgetenv("HOME");
    if (!testSink) {
        qunsetenv("PITCHWARDEN_AUDIO_SINK");
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m_dir.filePath("no-server")));
        QFile asoundrc(m_dir.filePath(QStringLiteral(".asoundrc")));
        QVERIFY(asoundrc.open(QIODevice::WriteOnly));
        asoundrc.write("pcm.!default { type plug slave { pcm \"null\" rate 48000 } }\n");
        asoundrc.close();
        qputenv("HOME", QFile::encodeName(m_dir.path()));
    }
    const QString tone = makeTestTone(m_dir.path(), 0.5);
    QVERIFY(!tone.isEmpty());
    {
        clsMusic music;
        music.setFileName(tone);
        music.Play();
        QTRY_VERIFY(music.Position() > 0.1);
        music.setFileName(QString());
    }
    qunsetenv("PULSE_SERVER");
    qputenv("PITCHWARDEN_AUDIO_SINK", given);
    qputenv("HOME", home);

    const QStringList made = ElementLog::take();
    QVERIFY2(made.contains(QStringLiteral("mpg123audiodec")), qPrintable(made.join(' ')));
    QVERIFY2(made.contains(sink), qPrintable(made.join(' ')));
    QVERIFY2(!made.contains(QStringLiteral("standinmp3dec")), qPrintable(made.join(' ')));
    QVERIFY2(!made.contains(QStringLiteral("standinaudiosink")), qPrintable(made.join(' ')));
}

QTEST_MAIN(TestPluginSets)
#include "tst_pluginsets.moc"
