#include "tones/toneplayback.h"

#include <QCoreApplication>

#include "media/clsmusic.h"
#include "support/doevents.h"
#include "support/errortrap.h"
#include "support/failure.h"
#include "support/filehelpers.h"
#include "support/messagebox.h"
#include "support/tempfolder.h"
#include "tones/resourcestore.h"
#include "tones/tonecatalogue.h"
#include "tones/tonewindow.h"

namespace {

const auto StopPlayingCaption = QStringLiteral("Stop Playing");

// A tone at or above the highest frequency the sound output carries (a Bluetooth headset's call
// profile at 16 kHz carries nothing above 8 kHz) would play as silence that looks like a tone.
void requireCarried(const clsMusic& music, const ToneEntry& tone, bool changedDuringTone)
{
    if (tone.frequencyKHz * 1000.0 < music.HighestFrequency())
        return;
    throw Failure(
        QStringLiteral("The sound output %1 %2 Hz%3, too low a rate for the %4 kHz tone: choose "
                       "another output or profile.")
            .arg(changedDuringTone ? QStringLiteral("changed to") : QStringLiteral("plays at"))
            .arg(music.OutputRate())
            .arg(changedDuringTone ? QStringLiteral(" during the tone") : QString())
            .arg(tone.frequencyKHz));
}

} // namespace

QString ToneFilePath(const ToneEntry& tone)
{
    return TemporaryFolder() + tone.fileName;
}

TonePlaybackController::TonePlaybackController(ToneWindow& window) : m_window(window) {}

clsMusic& TonePlaybackController::music() const
{
    clsMusic* music = m_window.Music();
    if (!music)
        throw Failure(QStringLiteral("Object variable or With block variable not set"));
    return *music;
}

void TonePlaybackController::Click(int row)
{
    const ToneEntry& tone = ToneCatalogue::row(row);
    ErrorTrap trap(QStringLiteral("PushButton%1_Click").arg(row));

    if (trap.test(
            100, [&] { return m_window.ToneButtonCaption(row) == StopPlayingCaption; }, false)) {
        trap.run(138, [&] { music().StopPlaying(); });
        return;
    }
    if (trap.test(
            102, [&] { return m_playing; }, false)) {
        trap.run(136, [] { MsgBox(QStringLiteral("Please stop playing first."), OkOnly); });
        return;
    }
    QString savedCaption;
    trap.run(104, [&] { savedCaption = m_window.ToneButtonCaption(row); });
    trap.run(106, [&] { m_window.setToneButtonCaption(row, StopPlayingCaption); });
    trap.run(108, [&] {
        m_playing = true;
        if (tone.setsHourglass)
            m_window.setMousePointer(ToneWindow::HourglassPointer);
    });
    playAndWait(tone, trap);
    if (tone.closing == ClosingSteps::A)
        closeA(tone, trap);
    else
        closeB(tone, trap);
    trap.run(132, [&] { m_window.setToneButtonCaption(row, savedCaption); });
    trap.run(134, [&] { m_playing = false; });
}

void TonePlaybackController::playAndWait(const ToneEntry& tone, ErrorTrap& trap)
{
    QByteArray recording;
    trap.run(110, [&] {
        recording = ResourceStore::load(tone.resourceId, ToneCatalogue::ResourceType);
    });
    if (trap.test(
            112, [&] { return !FileExists(ToneFilePath(tone)); }, true))
        trap.run(112, [&] { WriteBytesIfMissing(recording, ToneFilePath(tone)); });
    trap.run(114, [&] { music().setFileName(ToneFilePath(tone)); });
    trap.run(116, [&] { music().setPosition(0); });
    bool carried = false;
    trap.run(118, [&] {
        clsMusic& player = music();
        requireCarried(player, tone, false);
        carried = true;
        player.Play();
    });
    waitForTheEnd(tone, carried, trap);
}

// Until the tone reaches its end (Position equals Duration) or the player is stopped. A tone
// that was carried is watched for an output that no longer carries it (moved to a headset's
// call profile, say). The first yield runs the pending events; once the player has read
// playing, each yield sleeps until an event comes instead of spinning a core for the whole tone:
// whatever can end or change the tone wakes it (a click, the player's news of the end of the
// stream, an error or its output, and the player's look at its sound twice a second).
void TonePlaybackController::waitForTheEnd(const ToneEntry& tone, bool carried, ErrorTrap& trap)
{
    auto yield = QEventLoop::AllEvents;
    do {
        trap.run(120, [&] { QCoreApplication::processEvents(yield); });
        yield = QEventLoop::WaitForMoreEvents;
        const bool atEnd = trap.test(
            122,
            [&] {
                const double duration = music().Duration();
                const clsMusic& player = music();
                const double position = player.Position();
                if (carried)
                    requireCarried(player, tone, true);
                return duration == position;
            },
            true);
        if (atEnd)
            break;
    } while (trap.test(
        124, [&] { return music().State() != 0; }, false));
}

void TonePlaybackController::stopIfPlaying(ErrorTrap& trap, int line)
{
    if (trap.test(
            line, [&] { return music().State() != 0; }, true))
        trap.run(line, [&] { music().StopPlaying(); });
}

void TonePlaybackController::closeA(const ToneEntry& tone, ErrorTrap& trap)
{
    stopIfPlaying(trap, 126);
    trap.run(128, [&] { music().setFileName(QString()); });
    trap.run(130, [&] { DeleteFileForced(ToneFilePath(tone)); });
}

void TonePlaybackController::closeB(const ToneEntry& tone, ErrorTrap& trap)
{
    trap.run(126, [&] { DeleteFileForced(ToneFilePath(tone)); });
    stopIfPlaying(trap, 128);
    trap.run(130, [&] { music().setFileName(QString()); });
}
