// Fuzzes the media player with arbitrary bytes as a media file: open, read the duration, play
// for a moment, stop, release. The sink needs no sound card.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include "fuzz/scratchfile.h"
#include "media/clsmusic.h"
#include "media/mp3duration.h"

namespace {

// A released graph must leave no file, socket or pipe open behind it.
int openFileCount()
{
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (qEnvironmentVariableIsEmpty("PITCHWARDEN_AUDIO_SINK"))
        qputenv("PITCHWARDEN_AUDIO_SINK", "fakesink sync=true");
    fuzzApplication<QCoreApplication>();
    // Play the head of a real tone once, so that what GStreamer sets up once per process is in
    // place before the open files are counted.
    QFile tone(QStringLiteral(":/CUSTOM/110"));
    if (!tone.open(QIODevice::ReadOnly))
        qFatal("no embedded tone");
    const QByteArray head = tone.read(4096);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = writeScratchFile(QStringLiteral("tone.mp3"), data, size);
    const int openBefore = openFileCount();
    if (const auto counted = Mp3Duration(path);
        counted && !(std::isfinite(*counted) && *counted > 0))
        qFatal("frame count gives the duration %f", *counted);
    {
        clsMusic music;
        music.setFileName(path);
        const double duration = music.Duration();
        if (!std::isfinite(duration) || duration < 0)
            qFatal("duration %f", duration);
        if (music.HasAudio()) {
            music.setPosition(0);
            music.Play();
            QCoreApplication::processEvents();
            const double position = music.Position();
            if (!std::isfinite(position) || position < 0 || (duration > 0 && position > duration))
                qFatal("position %f of %f", position, duration);
            music.StopPlaying();
            if (music.State() != 0)
                qFatal("state %d after a stop", music.State());
        }
        // Releasing closes the file, as before the program deletes a tone file.
        music.setFileName(QString());
        if (music.HasAudio() || music.Duration() != 0)
            qFatal("the released player still has media");
    }
    // A worker thread of GStreamer may hold the graph for a moment after its last state change:
    // only files that stay open count.
    QCoreApplication::processEvents();
    const QDeadlineTimer settled(2000);
    int openAfter = openFileCount();
    bool waited = false;
    while (openAfter > openBefore && !settled.hasExpired()) {
        waited = true;
        QThread::msleep(5);
        QCoreApplication::processEvents();
        openAfter = openFileCount();
    }
    if (openAfter > openBefore)
        qFatal("open files grew from %d to %d", openBefore, openAfter);
    if (waited)
        std::fprintf(stderr, "open files settled after %lld ms\n",
                     static_cast<long long>(2000 - settled.remainingTime()));
    return 0;
}
