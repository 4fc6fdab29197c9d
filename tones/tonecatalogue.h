#pragma once

#include <array>

#include <QString>

// The two orders in which a tone procedure closes: A stops, releases, then deletes the tone
// file; B deletes first, then stops and releases.
enum class ClosingSteps
{
    A,
    B
};

// One row of the fixed tone table: what the window shows and what a press plays.
struct ToneEntry
{
    int row = 0;          // 1..11, also the number in Frame<row> and PushButton<row>
    int frequencyKHz = 0; // whole kilohertz
    QString frameCaption;
    QString buttonCaption;
    int resourceId = 0; // embedded recording, type "CUSTOM"
    QString fileName;   // appended to the temporary folder; starts with the path separator
    ClosingSteps closing = ClosingSteps::A;
    bool setsHourglass = false; // line 108 also sets the window's pointer to the hourglass
};

// The eleven tones, 8 kHz to 22 kHz, fixed at build time.
class ToneCatalogue
{
public:
    static constexpr int RowCount = 11;
    static constexpr auto ResourceType = "CUSTOM";

    static const std::array<ToneEntry, RowCount>& rows();
    // Row 1..11; anything else is a programming error.
    static const ToneEntry& row(int row);
};
