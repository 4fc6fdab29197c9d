#pragma once

#include <functional>

#include <QString>
#include <QUrl>

// On about one start in a hundred the publisher's home page opens in the default browser.
class HomePageLottery
{
public:
    using RandomSource = std::function<double()>;    // a number in [0, 1)
    using Opener = std::function<void(const QUrl&)>; // throws a Failure when it cannot open

    static QUrl address();

    // Draws once; opens the home page when the draw is 7 (of 1–100).
    static void draw();

    // Replacements for tests; empty functions restore the defaults.
    static void setRandomSource(RandomSource source);
    static void setOpener(Opener opener);
};
