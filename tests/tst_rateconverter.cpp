#include <algorithm>
#include <cmath>
#include <vector>

#include <QTest>

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include "media/rateconverter.h"

// The rate converter alone, on synthetic tones: the tone arrives at its level and in time, and
// nothing else arrives with it, its mirror image above half the source rate included.
class TestRateConverter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void toneArrivesAloneAndOnTime_data();
    void toneArrivesAloneAndOnTime();
    void channelsThatPartKeepTheirOwnSound_data();
    void channelsThatPartKeepTheirOwnSound();

private:
    struct Output
    {
        std::vector<float> samples;
        GstClockTime firstTime = GST_CLOCK_TIME_NONE;
    };
    static Output convert(double hz, int outRate, int inFrames);
};

namespace {

constexpr int SourceRate = 44100;
constexpr double Amplitude = 0.5;

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

void collect(GstElement*, GstBuffer* buffer, GstPad*, gpointer data)
{
    auto* output = static_cast<std::vector<float>*>(data);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return;
    const auto* samples = reinterpret_cast<const float*>(map.data);
    output->insert(output->end(), samples, samples + map.size / sizeof(float));
    gst_buffer_unmap(buffer, &map);
}

} // namespace

void TestRateConverter::initTestCase()
{
    gst_init(nullptr, nullptr);
    RateConverter::registerElement();
}

// A sine from the test source, through the converter, into a sink that keeps every sample.
TestRateConverter::Output TestRateConverter::convert(double hz, int outRate, int inFrames)
{
    const QByteArray description =
        QStringLiteral(
            "audiotestsrc wave=sine freq=%1 volume=%2 samplesperbuffer=1152 "
            "num-buffers=%3 ! audio/x-raw,format=F32LE,rate=%4,channels=1 ! %5 rate=%6 ! "
            "fakesink name=out signal-handoffs=true sync=false")
            .arg(hz)
            .arg(Amplitude)
            .arg(inFrames / 1152)
            .arg(SourceRate)
            .arg(QString::fromLatin1(RateConverter::FactoryName))
            .arg(outRate)
            .toLatin1();
    GstElement* pipeline = gst_parse_launch(description.constData(), nullptr);
    Output output;
    if (!pipeline)
        return output;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_signal_connect(sink, "handoff", G_CALLBACK(collect), &output.samples);
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto* first = static_cast<GstClockTime*>(data);
            if (!GST_CLOCK_TIME_IS_VALID(*first))
                *first = GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info));
            return GST_PAD_PROBE_OK;
        },
        &output.firstTime, nullptr);
    gst_object_unref(pad);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end = gst_bus_timed_pop_filtered(
        bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (end)
        gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return output;
}

void TestRateConverter::toneArrivesAloneAndOnTime_data()
{
    QTest::addColumn<double>("hz");
    QTest::addColumn<int>("outRate");
    for (const int rate : {48000, 96000})
        for (const double hz : {8000.0, 12000.0, 16000.0, 19000.0, 20000.0, 21000.0, 22000.0})
            QTest::addRow("%g kHz to %d Hz", hz / 1000, rate) << hz << rate;
    QTest::addRow("22 kHz kept at 44.1 kHz") << 22000.0 << SourceRate;
}

void TestRateConverter::toneArrivesAloneAndOnTime()
{
    QFETCH(double, hz);
    QFETCH(int, outRate);
    const int inFrames = 1152 * 40; // about a second
    const Output output = convert(hz, outRate, inFrames);

    // The whole input, starting when the input starts, then the ring-out of the band-limited
    // abrupt end, dying away to silence instead of being cut off.
    const double expectedFrames = double(inFrames) * outRate / SourceRate;
    const double extra = double(output.samples.size()) - expectedFrames;
    QVERIFY2(extra >= -1 && extra <= 0.05 * outRate,
             qPrintable(QStringLiteral("%1 frames past the input's length").arg(extra)));
    QCOMPARE(output.firstTime, GstClockTime(0));
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
    // In step with the input, whose first sample is one step into the sine: the filter's delay
    // (over a thousand samples) is taken out of the time stamps.
    const double shift = std::remainder(fit.phase, 2 * M_PI) / (2 * M_PI * hz) * SourceRate + 1;
    QVERIFY2(std::abs(shift) < 0.1,
             qPrintable(QStringLiteral("%1 source samples out of step").arg(shift)));
}

namespace {

// Pushes interleaved samples through the converter in MP3-sized buffers; returns its output.
std::vector<float> convertSamples(const std::vector<float>& samples, int channels, int outRate)
{
    GstHarness* harness = gst_harness_new(RateConverter::FactoryName);
    g_object_set(harness->element, "rate", outRate, nullptr);
    gst_harness_set_src_caps_str(
        harness, QStringLiteral("audio/x-raw,format=F32LE,layout=interleaved,rate=%1,channels=%2")
                     .arg(SourceRate)
                     .arg(channels)
                     .toLatin1()
                     .constData());
    const size_t frames = samples.size() / size_t(channels);
    for (size_t first = 0; first < frames; first += 1152) {
        const size_t count = std::min<size_t>(1152, frames - first);
        GstBuffer* buffer = gst_buffer_new_memdup(samples.data() + first * size_t(channels),
                                                  count * size_t(channels) * sizeof(float));
        GST_BUFFER_PTS(buffer) = gst_util_uint64_scale_int(first, GST_SECOND, SourceRate);
        gst_harness_push(harness, buffer);
    }
    gst_harness_push_event(harness, gst_event_new_eos());
    std::vector<float> output;
    while (GstBuffer* buffer = gst_harness_try_pull(harness)) {
        collect(nullptr, buffer, nullptr, &output);
        gst_buffer_unref(buffer);
    }
    gst_harness_teardown(harness);
    return output;
}

} // namespace

void TestRateConverter::channelsThatPartKeepTheirOwnSound_data()
{
    QTest::addColumn<double>("partAt");
    QTest::addColumn<int>("outRate");
    QTest::addRow("at once, 48 kHz") << 0.0 << 48000;
    QTest::addRow("within the filter's length, 48 kHz") << 0.02 << 48000;
    QTest::addRow("after a second, 48 kHz") << 1.0 << 48000;
    QTest::addRow("after a second, 96 kHz") << 1.0 << 96000;
}

// Identical channels are converted once and shared; when they part, each channel sounds
// exactly as it would converted on its own.
void TestRateConverter::channelsThatPartKeepTheirOwnSound()
{
    QFETCH(double, partAt);
    QFETCH(int, outRate);
    const int frames = int(1.3 * SourceRate);
    std::vector<float> stereo, left, right;
    for (int n = 0; n < frames; ++n) {
        const double t = double(n) / SourceRate;
        left.push_back(float(Amplitude * std::sin(2 * M_PI * 8000 * t)));
        right.push_back(t < partAt ? left.back()
                                   : float(Amplitude * std::sin(2 * M_PI * 12000 * t)));
        stereo.insert(stereo.end(), {left.back(), right.back()});
    }
    const std::vector<float> both = convertSamples(stereo, 2, outRate);
    const std::vector<float> alone[] = {convertSamples(left, 1, outRate),
                                        convertSamples(right, 1, outRate)};
    QCOMPARE(both.size(), 2 * alone[0].size());
    for (int channel = 0; channel < 2; ++channel) {
        float largest = 0;
        for (size_t frame = 0; frame < alone[channel].size(); ++frame)
            largest = std::max(largest,
                               std::abs(both[2 * frame + size_t(channel)] - alone[channel][frame]));
        QVERIFY2(largest < 1e-6f,
                 qPrintable(QStringLiteral("channel %1 off by %2").arg(channel).arg(largest)));
    }
}

QTEST_GUILESS_MAIN(TestRateConverter)
#include "tst_rateconverter.moc"
