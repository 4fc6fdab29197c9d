#include <cmath>
#include <vector>

#include <QTest>

#include "media/gainramp.h"

// The gain ramp that keeps starts and stops of sound free of clicks.
class TestGainRamp : public QObject
{
    Q_OBJECT

private slots:
    void freshRampRisesFromSilenceAlongARaisedCosine();
    void stopFallsSmoothlyToSilenceAndStaysThere();
    void startAfterAStopRisesAgain();
    void theBlockWhereSilenceBeginsTellsTheFrame();

private:
    static constexpr int Rate = 44100;
    static constexpr int Ramp = static_cast<int>(GainRamp::RampSeconds * Rate);
    // Runs `frames` stereo frames of full-scale DC through the ramp; returns the left channel.
    static std::vector<float> run(GainRamp& ramp, int frames, int chunk = 64)
    {
        std::vector<float> left;
        for (int done = 0; done < frames; done += chunk) {
            std::vector<float> block(size_t(2 * chunk), 1.0f);
            ramp.process(block.data(), chunk, 2, Rate);
            for (int i = 0; i < chunk; ++i) {
                // Both channels get the same gain; a mismatch shows up as NaN.
                const float l = block[size_t(2 * i)];
                left.push_back(l == block[size_t(2 * i + 1)] ? l : NAN);
            }
        }
        return left;
    }
    static float largestStep(const std::vector<float>& gains)
    {
        float step = 0;
        for (size_t i = 1; i < gains.size(); ++i) {
            if (std::isnan(gains[i]))
                return INFINITY;
            step = std::max(step, std::abs(gains[i] - gains[i - 1]));
        }
        return step;
    }
};

void TestGainRamp::freshRampRisesFromSilenceAlongARaisedCosine()
{
    GainRamp ramp;
    const auto gains = run(ramp, 2 * Ramp);
    QCOMPARE(gains.front(), 0.0f);
    QVERIFY(std::abs(gains[size_t(Ramp / 2)] - 0.5f) < 0.01f);
    QCOMPARE(gains.back(), 1.0f);
    // A raised cosine never steps by more than pi/2 over the ramp length.
    QVERIFY(largestStep(gains) <= float(M_PI / 2 / Ramp) + 1e-4f);
}

void TestGainRamp::stopFallsSmoothlyToSilenceAndStaysThere()
{
    GainRamp ramp;
    run(ramp, 2 * Ramp);
    ramp.rampDown();
    const auto gains = run(ramp, 3 * Ramp, 37);
    QVERIFY(gains.front() > 0.99f);
    QCOMPARE(gains[size_t(Ramp + 10)], 0.0f);
    QCOMPARE(gains.back(), 0.0f);
    QVERIFY(largestStep(gains) <= float(M_PI / 2 / Ramp) + 1e-4f);
}

void TestGainRamp::startAfterAStopRisesAgain()
{
    GainRamp ramp;
    run(ramp, 2 * Ramp);
    ramp.rampDown();
    run(ramp, 2 * Ramp);
    ramp.rampUp();
    const auto gains = run(ramp, 2 * Ramp);
    QCOMPARE(gains.front(), 0.0f);
    QCOMPARE(gains.back(), 1.0f);
    // A start while sound still flows does not restart from silence.
    ramp.rampUp();
    QCOMPARE(run(ramp, 64).front(), 1.0f);
}

// The player waits until the listener has heard the frame where silence begins; a wrong frame
// would cut the sound mid-ramp.
void TestGainRamp::theBlockWhereSilenceBeginsTellsTheFrame()
{
    GainRamp ramp;
    run(ramp, 2 * Ramp);
    ramp.rampDown();
    std::vector<float> block(size_t(2 * (Ramp + 100)), 1.0f);
    QCOMPARE(ramp.process(block.data(), 40, 2, Rate), -1);
    const int silentFrom = ramp.process(block.data() + 80, Ramp + 60, 2, Rate);
    QCOMPARE(silentFrom, Ramp - 40);
    QVERIFY(block[size_t(80 + 2 * (silentFrom - 1))] > 0.0f);
    QCOMPARE(block[size_t(80 + 2 * silentFrom)], 0.0f);
    // Once silent, later blocks report nothing new.
    QCOMPARE(ramp.process(block.data(), 10, 2, Rate), -1);
}

QTEST_MAIN(TestGainRamp)
#include "tst_gainramp.moc"
