#include "tones/tonecatalogue.h"

#include <QDir>

namespace {

ToneEntry makeRow(int row, int kHz, const char* audience, ClosingSteps closing)
{
    ToneEntry entry;
    entry.row = row;
    entry.frequencyKHz = kHz;
    entry.frameCaption =
        QStringLiteral("%1 kHz Frequency (%2)").arg(kHz).arg(QLatin1String(audience));
    entry.buttonCaption = QStringLiteral("Play %1 kHz").arg(kHz);
    entry.resourceId = 100 + row;
    // The tone files are named with a leading separator so they can be appended to a folder.
    entry.fileName = QDir::separator() + QStringLiteral("%1kHz.mp3").arg(kHz);
    entry.closing = closing;
    entry.setsHourglass = row == 1;
    return entry;
}

} // namespace

const std::array<ToneEntry, ToneCatalogue::RowCount>& ToneCatalogue::rows()
{
    using enum ClosingSteps;
    static const std::array<ToneEntry, RowCount> table = {
        makeRow(1, 8, "Everyone can hear", A),
        makeRow(2, 10, "60 and younger can hear", B),
        makeRow(3, 12, "50 and younger can hear", B),
        makeRow(4, 14, "45 and younger can hear", B),
        makeRow(5, 15, "39 and younger can hear", A),
        makeRow(6, 17, "24 and younger can hear", A),
        makeRow(7, 18, "24 and younger can hear", A),
        makeRow(8, 19, "24 and younger can hear", A),
        makeRow(9, 20, "24 and younger can hear", A),
        makeRow(10, 21, "20 and younger can hear", A),
        makeRow(11, 22, "18 and younger can hear", A),
    };
    return table;
}

const ToneEntry& ToneCatalogue::row(int row)
{
    Q_ASSERT(row >= 1 && row <= RowCount);
    return rows().at(static_cast<size_t>(row - 1));
}
