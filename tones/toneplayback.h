#pragma once

#include <QObject>
#include <QString>

class ErrorTrap;
class ToneWindow;
class clsMusic;
struct ToneEntry;

// What a press on a tone button does: write the tone's recording to the temporary folder,
// play it, show "Stop Playing" until it ends or is stopped, then delete the file and restore
// the caption. One tone at a time; a press on another button meanwhile is refused.
class TonePlaybackController : public QObject
{
    Q_OBJECT

public:
    explicit TonePlaybackController(ToneWindow& window);

    // True while a tone is prepared, played or cleaned up.
    bool Playing() const { return m_playing; }

    // The click procedure of tone button `row` (1–11).
    void Click(int row);

private:
    void playAndWait(const ToneEntry& tone, ErrorTrap& trap);
    void waitForTheEnd(const ToneEntry& tone, bool carried, ErrorTrap& trap);
    void closeA(const ToneEntry& tone, ErrorTrap& trap);
    void closeB(const ToneEntry& tone, ErrorTrap& trap);
    void stopIfPlaying(ErrorTrap& trap, int line);
    clsMusic& music() const;

    ToneWindow& m_window;
    bool m_playing = false;
};

// The tone file's path for `tone`: the temporary folder followed by the tone's file name.
QString ToneFilePath(const ToneEntry& tone);
