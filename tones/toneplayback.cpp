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
constexpr int TickMilliseconds = 10;

} // namespace

QString ToneFilePath(const ToneEntry& tone)
{
    return TemporaryFolder() + tone.fileName;
}

TonePlaybackController::TonePlaybackController(ToneWindow& window) : m_window(window)
{
    m_tick.setInterval(TickMilliseconds);
}

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
    trap.run(118, [&] { music().Play(); });
    waitForTheEnd(trap);
}

// Until the tone reaches its end (Position equals Duration) or the player is stopped.
void TonePlaybackController::waitForTheEnd(ErrorTrap& trap)
{
    m_tick.start();
    do {
        trap.run(120, [&] { yieldUntilSomethingHappens(); });
        const bool atEnd = trap.test(
            122,
            [&] {
                const double duration = music().Duration();
                const double position = music().Position();
                return duration == position;
            },
            true);
        if (atEnd)
            break;
    } while (trap.test(
        124, [&] { return music().State() != 0; }, false));
    m_tick.stop();
}

// Runs the pending window events; when there are none, sleeps until the next event arrives,
// a player notification or the short tick, instead of spinning a core for the whole tone.
void TonePlaybackController::yieldUntilSomethingHappens()
{
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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
