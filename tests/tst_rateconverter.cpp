#include <algorithm>
#include <cmath>
#include <vector>

#include <malloc.h>

#include <QTest>

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include "media/rateconverter.h"

// The rate converter alone, on synthetic tones: the tone arrives at its level and in time, and
// nothing else arrives with it, its mirror image above half the source rate included; what the
// output cannot carry is stopped instead of folding back into the band; where a new time line
// starts, nothing is lost and nothing clicks.
class TestRateConverter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void toneArrivesAloneAndOnTime_data();
    void toneArrivesAloneAndOnTime();
    void toneAboveTheOutputsBandIsStopped_data();
    void toneAboveTheOutputsBandIsStopped();
    void eachChannelSoundsAsAlone();
    void flushStartsAFreshConversion_data();
    void flushStartsAFreshConversion();
    void discontinuityInStepChangesNothing_data();
    void discontinuityInStepChangesNothing();
    void newTimeLineLosesNothing_data();
    void newTimeLineLosesNothing();
    void latencyCoversWhatItHolds();
    void oddRateNeedsLittleMemory();
};

namespace {

constexpr int SourceRate = 44100;
constexpr int BufferFrames = 1152; // an MP3 frame
constexpr double Amplitude = 0.5;

struct Output
{
    std::vector<float> samples;
    std::vector<GstClockTime> times; // each buffer's
    bool overlapping = false;        // a buffer starts before the one before it ends
};

std::vector<float> sine(double hz, int frames, int rate = SourceRate)
{
    std::vector<float> samples;
    for (int n = 0; n < frames; ++n)
        samples.push_back(float(Amplitude * std::sin(2 * M_PI * hz * n / rate)));
    return samples;
}

// Least-squares fit of a sine of known frequency: amplitude, phase and what remains besides it.
struct SineFit
{
    double amplitude = 0;
    double phase = 0;
    double residualDb = 0; // power of everything else, dB under the tone
};

SineFit fitSine(const std::vector<float>& x, size_t from, size_t count, double hz, int rate)
{
    double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
    for (size_t n = from; n < from + count; ++n) {
        const double w = 2 * M_PI * hz * double(n) / rate;
        const double c = std::cos(w), s = std::sin(w);
        cc += c * c, ss += s * s, cs += c * s, xc += x[n] * c, xs += x[n] * s;
    }
    const double det = cc * ss - cs * cs;
    const double a = (xc * ss - xs * cs) / det; // x ≈ a cos + b sin
    const double b = (xs * cc - xc * cs) / det;
    double tone = 0, rest = 0;
    for (size_t n = from; n < from + count; ++n) {
        const double w = 2 * M_PI * hz * double(n) / rate;
        const double fitted = a * std::cos(w) + b * std::sin(w);
        tone += fitted * fitted;
        rest += (x[n] - fitted) * (x[n] - fitted);
    }
    return {std::hypot(a, b), std::atan2(-a, b), 10 * std::log10(tone / std::max(rest, 1e-300))};
}

// Announces the input's format, and a segment from 0, as upstream does before its first buffer.
void setInput(GstHarness* harness, int rate, int channels)
{
    gst_harness_set_src_caps_str(
        harness, QStringLiteral("audio/x-raw,format=F32LE,layout=interleaved,rate=%1,channels=%2")
                     .arg(rate)
                     .arg(channels)
                     .toLatin1()
                     .constData());
}

GstHarness* startConverter(int channels, int outRate)
{
    GstHarness* harness = gst_harness_new(RateConverter::FactoryName);
    g_object_set(harness->element, "rate", outRate, nullptr);
    setInput(harness, SourceRate, channels);
    return harness;
}

// Pushes interleaved samples in MP3-sized buffers, the first at time `start` (none: no time
// stamps) and with `flags`.
void push(GstHarness* harness, const std::vector<float>& samples, int channels,
          GstClockTime start = 0, int rate = SourceRate, GstBufferFlags flags = {})
{
    const size_t frames = samples.size() / size_t(channels);
    for (size_t first = 0; first < frames; first += BufferFrames) {
        const size_t count = std::min<size_t>(BufferFrames, frames - first);
        GstBuffer* buffer = gst_buffer_new_memdup(samples.data() + first * size_t(channels),
                                                  count * size_t(channels) * sizeof(float));
        if (GST_CLOCK_TIME_IS_VALID(start))
            GST_BUFFER_PTS(buffer) = start + gst_util_uint64_scale_int(first, GST_SECOND, rate);
        if (first == 0)
            GST_BUFFER_FLAG_SET(buffer, flags);
        gst_harness_push(harness, buffer);
    }
}

Output pullAll(GstHarness* harness)
{
    Output output;
    GstClockTime end = 0;
    while (GstBuffer* buffer = gst_harness_try_pull(harness)) {
        output.overlapping = output.overlapping || GST_BUFFER_PTS(buffer) < end;
        end = GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer);
        output.times.push_back(GST_BUFFER_PTS(buffer));
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const auto* samples = reinterpret_cast<const float*>(map.data);
            output.samples.insert(output.samples.end(), samples,
                                  samples + map.size / sizeof(float));
            gst_buffer_unmap(buffer, &map);
        }
        gst_buffer_unref(buffer);
    }
    return output;
}

// The whole of `samples` through a fresh converter, to its end of stream.
Output convert(const std::vector<float>& samples, int channels, int outRate, GstClockTime start = 0)
{
    GstHarness* harness = startConverter(channels, outRate);
    push(harness, samples, channels, start);
    gst_harness_push_event(harness, gst_event_new_eos());
    Output output = pullAll(harness);
    gst_harness_teardown(harness);
    return output;
}

float largestDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    float largest = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        largest = std::max(largest, std::abs(a[i] - b[i]));
    return largest;
}

} // namespace

void TestRateConverter::initTestCase()
{
    gst_init(nullptr, nullptr);
    RateConverter::registerElement();
}

// Every tone up to 22 kHz at the rates sinks run at, odd ones too; going down, what the lower
// rate can carry.
void TestRateConverter::toneArrivesAloneAndOnTime_data()
{
    QTest::addColumn<double>("hz");
    QTest::addColumn<int>("outRate");
    for (const int rate : {48000, 88200, 96000, 192000})
        for (const double hz : {8000.0, 12000.0, 16000.0, 19000.0, 20000.0, 21000.0, 22000.0})
            QTest::addRow("%g kHz to %d Hz", hz / 1000, rate) << hz << rate;
    for (const double hz : {8000.0, 22000.0})
        QTest::addRow("%g kHz to 44101 Hz", hz / 1000) << hz << 44101;
    QTest::addRow("15 kHz to 32000 Hz") << 15000.0 << 32000;
    QTest::addRow("22 kHz kept at 44.1 kHz") << 22000.0 << SourceRate;
}

void TestRateConverter::toneArrivesAloneAndOnTime()
{
    QFETCH(double, hz);
    QFETCH(int, outRate);
    QVERIFY(hz < RateConverter::PassbandTop(SourceRate, outRate));
    const int inFrames = BufferFrames * 40; // about a second
    const Output output = convert(sine(hz, inFrames), 1, outRate);

    // The whole input, starting when the input starts, then the ring-out of the band-limited
    // abrupt end, dying away to silence instead of being cut off.
    const double expectedFrames = double(inFrames) * outRate / SourceRate;
    const double extra = double(output.samples.size()) - expectedFrames;
    QVERIFY2(extra >= -1 && extra <= 0.05 * outRate,
             qPrintable(QStringLiteral("%1 frames past the input's length").arg(extra)));
    QCOMPARE(output.times.front(), GstClockTime(0));
    const auto lastMillisecond = output.samples.end() - outRate / 1000;
    QVERIFY(outRate == SourceRate ||
            std::all_of(lastMillisecond, output.samples.end(),
                        [](float sample) { return std::abs(sample) < 1e-4f; }));

    // The middle half, away from where the filter starts and ends.
    const size_t count = output.samples.size() / 2;
    const size_t from = count / 2;
    const SineFit fit = fitSine(output.samples, from, count, hz, outRate);
    const double levelDb = 20 * std::log10(fit.amplitude / Amplitude);
    QVERIFY2(std::abs(levelDb) <= 0.05, qPrintable(QStringLiteral("level %1 dB").arg(levelDb)));
    QVERIFY2(
        fit.residualDb >= 100,
        qPrintable(QStringLiteral("everything else %1 dB under the tone").arg(fit.residualDb)));
    // In step with the input: the filter's delay (thousands of samples) is taken out of the
    // time stamps.
    const double shift = std::remainder(fit.phase, 2 * M_PI) / (2 * M_PI * hz) * SourceRate;
    QVERIFY2(std::abs(shift) < 0.1,
             qPrintable(QStringLiteral("%1 source samples out of step").arg(shift)));
}

// A tone the output cannot carry, folded back, would be heard at another frequency.
void TestRateConverter::toneAboveTheOutputsBandIsStopped_data()
{
    QTest::addColumn<double>("hz");
    QTest::addColumn<int>("outRate");
    QTest::addRow("20 kHz to 32000 Hz") << 20000.0 << 32000;
    QTest::addRow("8 kHz to 16000 Hz") << 8000.0 << 16000;
}

void TestRateConverter::toneAboveTheOutputsBandIsStopped()
{
    QFETCH(double, hz);
    QFETCH(int, outRate);
    QVERIFY(hz >= RateConverter::PassbandTop(SourceRate, outRate));
    const Output output = convert(sine(hz, BufferFrames * 40), 1, outRate);
    const size_t count = output.samples.size() / 2;
    double power = 0;
    for (size_t n = count / 2; n < count / 2 + count; ++n)
        power += double(output.samples[n]) * output.samples[n];
    const double levelDb = 10 * std::log10(power / count / (Amplitude * Amplitude / 2) + 1e-300);
    QVERIFY2(levelDb <= -100, qPrintable(QStringLiteral("%1 dB under the tone").arg(-levelDb)));
}

// Each channel converted on its own, as a mono stream would be.
void TestRateConverter::eachChannelSoundsAsAlone()
{
    const int frames = BufferFrames * 20;
    const std::vector<float> left = sine(8000, frames);
    const std::vector<float> right = sine(12000, frames);
    std::vector<float> stereo;
    for (int n = 0; n < frames; ++n)
        stereo.insert(stereo.end(), {left[size_t(n)], right[size_t(n)]});
    const Output both = convert(stereo, 2, 48000);
    std::vector<float> alone[] = {convert(left, 1, 48000).samples,
                                  convert(right, 1, 48000).samples};
    // Each ends where its own ring-out falls below hearing; the pair where both have.
    QCOMPARE(both.samples.size(), 2 * std::max(alone[0].size(), alone[1].size()));
    for (int channel = 0; channel < 2; ++channel) {
        alone[channel].resize(both.samples.size() / 2);
        std::vector<float> heard;
        for (size_t frame = 0; frame < alone[channel].size(); ++frame)
            heard.push_back(both.samples[2 * frame + size_t(channel)]);
        const float largest = largestDifference(heard, alone[channel]);
        // Where the pair ends later than the channel alone, the channel's ring-out was under
        // -90 dBFS.
        QVERIFY2(largest < 3.2e-5f,
                 qPrintable(QStringLiteral("channel %1 off by %2").arg(channel).arg(largest)));
    }
}

void TestRateConverter::flushStartsAFreshConversion_data()
{
    QTest::addColumn<int>("outRate");
    QTest::addColumn<int>("rateAfter");
    QTest::addRow("48000 Hz") << 48000 << 48000;
    QTest::addRow("44101 Hz") << 44101 << 44101;
    // The sound server moved the stream to another sink while it was paused.
    QTest::addRow("48000 Hz, then 96000 Hz") << 48000 << 96000;
}

// Every play seeks with a flush: what follows it must sound and be timed exactly as the same
// sound converted from scratch, at the rate asked for by then, with nothing of the sound before
// the flush in it.
void TestRateConverter::flushStartsAFreshConversion()
{
    QFETCH(int, outRate);
    QFETCH(int, rateAfter);
    const std::vector<float> after = sine(12000, BufferFrames * 20);
    const GstClockTime seekedTo = 2 * GST_SECOND;

    GstHarness* harness = startConverter(1, outRate);
    push(harness, sine(8000, BufferFrames * 7 + 500), 1);
    pullAll(harness);
    g_object_set(harness->element, "rate", rateAfter, nullptr);
    gst_harness_push_event(harness, gst_event_new_flush_start());
    gst_harness_push_event(harness, gst_event_new_flush_stop(TRUE));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_harness_push_event(harness, gst_event_new_segment(&segment));
    push(harness, after, 1, seekedTo);
    gst_harness_push_event(harness, gst_event_new_eos());
    const Output flushed = pullAll(harness);
    const std::unique_ptr<GstCaps, void (*)(GstCaps*)> caps(
        gst_pad_get_current_caps(harness->sinkpad), [](GstCaps* caps) { gst_caps_unref(caps); });
    gst_harness_teardown(harness);

    int rate = 0;
    gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "rate", &rate);
    QCOMPARE(rate, rateAfter);
    const Output fresh = convert(after, 1, rateAfter, seekedTo);
    QCOMPARE(flushed.times.front(), seekedTo);
    QCOMPARE(flushed.times, fresh.times);
    QCOMPARE(flushed.samples.size(), fresh.samples.size());
    QCOMPARE(largestDifference(flushed.samples, fresh.samples), 0.0f);
}

void TestRateConverter::discontinuityInStepChangesNothing_data()
{
    QTest::addColumn<GstClockTime>("time");
    const GstClockTime onTime =
        gst_util_uint64_scale_int(BufferFrames * 10, GST_SECOND, SourceRate);
    QTest::addRow("on time") << onTime;
    QTest::addRow("a quarter sample late") << onTime + GST_SECOND / SourceRate / 4;
    QTest::addRow("without time stamps") << GST_CLOCK_TIME_NONE;
}

// Upstream may mark a buffer as a discontinuity although it goes on from the one before (a
// parser that lost its sync and found it again, say): the sound goes on as if it were not marked.
void TestRateConverter::discontinuityInStepChangesNothing()
{
    QFETCH(GstClockTime, time);
    const std::vector<float> tone = sine(8000, BufferFrames * 20);
    const auto half = tone.begin() + BufferFrames * 10;

    GstHarness* harness = startConverter(1, 48000);
    push(harness, {tone.begin(), half}, 1);
    push(harness, {half, tone.end()}, 1, time, SourceRate, GST_BUFFER_FLAG_DISCONT);
    gst_harness_push_event(harness, gst_event_new_eos());
    const Output marked = pullAll(harness);
    gst_harness_teardown(harness);

    const Output unmarked = convert(tone, 1, 48000);
    QCOMPARE(marked.times, unmarked.times);
    QCOMPARE(marked.samples.size(), unmarked.samples.size());
    QCOMPARE(largestDifference(marked.samples, unmarked.samples), 0.0f);
}

enum Junction
{
    Discontinuity, // a buffer marked as one, a second after the last
    NewSegment,
    NewStream,
    NewFormat, // the input's rate or the rate asked for
};

void TestRateConverter::newTimeLineLosesNothing_data()
{
    QTest::addColumn<int>("junction");
    QTest::addColumn<int>("outRate");
    QTest::addColumn<int>("inRateAfter");
    QTest::addColumn<int>("outRateAfter");
    QTest::addRow("discontinuity") << int(Discontinuity) << 48000 << SourceRate << 48000;
    QTest::addRow("segment") << int(NewSegment) << 48000 << SourceRate << 48000;
    QTest::addRow("stream") << int(NewStream) << 48000 << SourceRate << 48000;
    QTest::addRow("input 44.1 to 48 kHz") << int(NewFormat) << 96000 << 48000 << 96000;
    QTest::addRow("output 48 to 96 kHz") << int(NewFormat) << 48000 << SourceRate << 96000;
}

// Where a new time line starts without a flush, the conversion first gives out all it holds,
// rung out as at the end of the stream, in the old format; then the new sound rises out of
// silence instead of stepping in at half its level, all of it, and later than the old sound.
void TestRateConverter::newTimeLineLosesNothing()
{
    QFETCH(int, junction);
    QFETCH(int, outRate);
    QFETCH(int, inRateAfter);
    QFETCH(int, outRateAfter);
    const std::vector<float> before = sine(8000, BufferFrames * 20);
    const std::vector<float> after = sine(8000, BufferFrames * 20, inRateAfter);
    const GstClockTime end = gst_util_uint64_scale_int(before.size(), GST_SECOND, SourceRate);

    GstHarness* harness = startConverter(1, outRate);
    push(harness, before, 1);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    if (junction == NewStream)
        gst_harness_push_event(harness, gst_event_new_stream_start("next"));
    if (junction == NewStream || junction == NewSegment)
        gst_harness_push_event(harness, gst_event_new_segment(&segment));
    if (inRateAfter != SourceRate)
        setInput(harness, inRateAfter, 1);
    g_object_set(harness->element, "rate", outRateAfter, nullptr);
    if (junction == Discontinuity)
        push(harness, after, 1, end + GST_SECOND, inRateAfter, GST_BUFFER_FLAG_DISCONT);
    else
        push(harness, after, 1, end, inRateAfter);
    gst_harness_push_event(harness, gst_event_new_eos());
    const Output output = pullAll(harness);
    gst_harness_teardown(harness);

    const std::vector<float> drained = convert(before, 1, outRate).samples;
    QVERIFY(output.samples.size() > drained.size());
    QCOMPARE(largestDifference(output.samples, drained), 0.0f);
    QVERIFY(!output.overlapping);
    // After it, the new sound from silence (its end rings out as any end does: see above).
    const auto next = output.samples.begin() + std::ptrdiff_t(drained.size());
    QVERIFY(std::all_of(next, next + outRateAfter / 1000,
                        [](float sample) { return std::abs(sample) < 1e-4f; }));
    // The tone's energy, as many seconds of it as went in.
    double energy = 0;
    for (auto sample = next; sample != output.samples.end(); ++sample)
        energy += double(*sample) * *sample;
    const double seconds = energy / outRateAfter / (Amplitude * Amplitude / 2);
    const double expected = double(after.size()) / inRateAfter;
    QVERIFY2(std::abs(seconds - expected) < 1e-4,
             qPrintable(QStringLiteral("%1 s of %2 s").arg(seconds).arg(expected)));
}

// A live pipeline waits for the latency the elements report: the converter's must cover how long
// it holds the sound before the output at its time comes out.
void TestRateConverter::latencyCoversWhatItHolds()
{
    GstHarness* harness = startConverter(1, 48000);
    const std::vector<float> tone = sine(8000, BufferFrames);
    GstClockTime pushedUpTo = 0;
    while (gst_harness_buffers_in_queue(harness) == 0 && pushedUpTo < GST_SECOND) {
        push(harness, tone, 1, pushedUpTo);
        pushedUpTo += gst_util_uint64_scale_int(BufferFrames, GST_SECOND, SourceRate);
    }
    const Output output = pullAll(harness);
    const GstClockTime latency = gst_harness_query_latency(harness);
    gst_harness_teardown(harness);
    QCOMPARE(output.times.front(), GstClockTime(0));
    QVERIFY2(
        latency >= pushedUpTo,
        qPrintable(
            QStringLiteral("%1 ms reported, %2 ms held").arg(latency / 1e6).arg(pushedUpTo / 1e6)));
}

// A rate with no common factor with the source's (the library's full table of every phase of
// the ratio took over 500 MB for it) costs what any other does.
void TestRateConverter::oddRateNeedsLittleMemory()
{
    const auto allocated = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const size_t before = allocated();
    GstHarness* harness = startConverter(1, 44101);
    push(harness, sine(8000, SourceRate), 1);
    const size_t held = allocated() - std::min(before, allocated());
    const Output output = pullAll(harness);
    gst_harness_teardown(harness);
    QVERIFY(output.samples.size() > SourceRate / 2);
    QVERIFY2(held < 4 << 20, qPrintable(QStringLiteral("%1 MiB").arg(held / 1048576.0)));
}

QTEST_GUILESS_MAIN(TestRateConverter)
#include "tst_rateconverter.moc"
