// Benchmark of the media player on the program's own recordings (not a test: it only prints).
//   bench_media [repetitions]   (default 20; run from the build folder, e.g. build/bin/bench_media)
// The audio goes to `fakesink sync=true`, which takes each buffer when its time has come, as a
// sound card would; the figures end at the sink and leave out the sound server's own buffer.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <gst/audio/audio.h>
#include <gst/gst.h>

#include "media/clsmusic.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr float SilenceThreshold = 1e-4f; // about -80 dBFS
constexpr int PlaySeconds = 1;

// What the sink saw, in Clock nanoseconds; written on the streaming thread.
std::mutex sinkMutex;
std::condition_variable soundSeen;
qint64 firstSound = 0;
qint64 lastSound = 0;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Called at each fakesink handoff, when the buffer is due: finds the first and last sample
// above the threshold and dates them by their place in the buffer.
gboolean onHandoff(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    if (count < 3)
        return TRUE;
    const qint64 due = nowNs();
    auto* buffer = static_cast<GstBuffer*>(g_value_get_boxed(&values[1]));
    auto* pad = static_cast<GstPad*>(g_value_get_object(&values[2]));
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstAudioInfo info;
    const bool known = caps && gst_audio_info_from_caps(&info, caps) &&
                       GST_AUDIO_INFO_FORMAT(&info) == GST_AUDIO_FORMAT_F32LE;
    if (caps)
        gst_caps_unref(caps);
    GstMapInfo map;
    if (!known || !gst_buffer_map(buffer, &map, GST_MAP_READ))
        return TRUE;
    const int channels = std::max(1, GST_AUDIO_INFO_CHANNELS(&info));
    const auto* samples = reinterpret_cast<const float*>(map.data);
    const long total = static_cast<long>(map.size / sizeof(float));
    long first = -1;
    long last = -1;
    for (long i = 0; i < total; ++i) {
        if (std::abs(samples[i]) > SilenceThreshold) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    gst_buffer_unmap(buffer, &map);
    if (first < 0)
        return TRUE;
    const double nsPerFrame = 1e9 / GST_AUDIO_INFO_RATE(&info);
    std::lock_guard lock(sinkMutex);
    if (firstSound == 0)
        firstSound = due + qint64(first / channels * nsPerFrame);
    lastSound = due + qint64(last / channels * nsPerFrame);
    soundSeen.notify_all();
    return TRUE;
}

void resetSink()
{
    std::lock_guard lock(sinkMutex);
    firstSound = lastSound = 0;
}

void runEventsFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double ms(qint64 nanoseconds)
{
    return nanoseconds / 1e6;
}

void printRow(const char* what, std::vector<double> values, const char* unit)
{
    if (values.empty()) {
        std::printf("%-44s  no samples\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    std::printf("%-44s  median %8.3f %s   max %8.3f %s   (n=%zu)\n", what, median, unit,
                values.back(), unit, n);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("PITCHWARDEN_AUDIO_SINK", "fakesink sync=true signal-handoffs=true");
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, QString(argv[1]).toInt()) : 20;

    gst_init(nullptr, nullptr);
    GstElement* fakesink = gst_element_factory_make("fakesink", nullptr);
    if (!fakesink) {
        std::fprintf(stderr, "no fakesink\n");
        return 1;
    }
    const guint handoff = g_signal_lookup("handoff", G_OBJECT_TYPE(fakesink));
    gst_object_unref(gst_object_ref_sink(fakesink));
    g_signal_add_emission_hook(handoff, 0, &onHandoff, nullptr, nullptr);

    const QDir folder(QStringLiteral(PITCHWARDEN_SOURCE_DIR "/resources/recordings"));
    const QStringList files = folder.entryList({QStringLiteral("*.mp3")}, QDir::Files);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no recordings in %s\n", qPrintable(folder.path()));
        return 1;
    }

    std::vector<double> open;
    std::vector<double> start;
    std::vector<double> stopCall;
    std::vector<double> silence;
    std::vector<double> cpu;
    clsMusic music;
    for (int i = 0; i < repetitions; ++i) {
        const QString file = folder.filePath(files[i % files.size()]);

        const qint64 openedFrom = nowNs();
        music.setFileName(file);
        const bool durationKnown = music.Duration() > 0;
        const qint64 openedAt = nowNs();
        if (!durationKnown) {
            std::fprintf(stderr, "%s: no duration\n", qPrintable(file));
            continue;
        }
        open.push_back(ms(openedAt - openedFrom));

        resetSink();
        music.setPosition(0);
        const qint64 playFrom = nowNs();
        music.Play();
        {
            std::unique_lock lock(sinkMutex);
            if (soundSeen.wait_for(lock, std::chrono::seconds(5), [] { return firstSound; }))
                start.push_back(ms(firstSound - playFrom));
        }

        const double cpuBefore = cpuSeconds();
        const qint64 playingFrom = nowNs();
        runEventsFor(PlaySeconds * 1000);
        cpu.push_back((cpuSeconds() - cpuBefore) / ((nowNs() - playingFrom) / 1e9));

        const qint64 stopFrom = nowNs();
        music.StopPlaying();
        stopCall.push_back(ms(nowNs() - stopFrom));
        runEventsFor(300); // anything still under way reaches the sink meanwhile
        {
            std::lock_guard lock(sinkMutex);
            silence.push_back(ms(std::max<qint64>(0, lastSound - stopFrom)));
        }
        music.setFileName(QString());
    }

    std::printf("bench_media: %d repetitions over %lld recordings, sink fakesink sync=true\n",
                repetitions, static_cast<long long>(files.size()));
    printRow("open (FileName write, Duration known)", open, "ms");
    printRow("Play to first sound at the sink", start, "ms");
    printRow("StopPlaying call returns", stopCall, "ms");
    printRow("StopPlaying to last sound at the sink", silence, "ms");
    std::vector<double> percent;
    for (double share : cpu)
        percent.push_back(share * 100);
    printRow("CPU while playing (% of one core)", percent, "% ");
    return 0;
}
