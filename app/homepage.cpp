#include "app/homepage.h"

#include <random>

#include <QDesktopServices>
#include <QTime>

#include "support/failure.h"

namespace {

HomePageLottery::RandomSource& randomSource()
{
    static HomePageLottery::RandomSource source;
    return source;
}

HomePageLottery::Opener& opener()
{
    static HomePageLottery::Opener current;
    return current;
}

// Seeded from the seconds since midnight.
double drawFromTimeOfDay()
{
    std::minstd_rand generator(
        static_cast<unsigned>(QTime::currentTime().msecsSinceStartOfDay() / 1000));
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

void openInBrowser(const QUrl& url)
{
    if (!QDesktopServices::openUrl(url))
        throw Failure(QStringLiteral("Cannot open %1 in the web browser").arg(url.toString()));
}

} // namespace

QUrl HomePageLottery::address()
{
    return QUrl(QStringLiteral("https://pitchwarden.example/"));
}

void HomePageLottery::draw()
{
    const double r = randomSource() ? randomSource()() : drawFromTimeOfDay();
    const int number = static_cast<int>(r * 100) + 1;
    if (number != 7)
        return;
    if (opener())
        opener()(address());
    else
        openInBrowser(address());
}

void HomePageLottery::setRandomSource(RandomSource source)
{
    randomSource() = std::move(source);
}

void HomePageLottery::setOpener(Opener newOpener)
{
    opener() = std::move(newOpener);
}
