// Benchmark of the rate converter alone (not a test: it only prints), one channel of a 44.1 kHz
// tone to each output rate, beside two baselines run the same way in the same run: GStreamer's
// resampler with the settings of the earlier direct-form converter (a Kaiser-windowed sinc of
// 3204 taps and a table of every phase of the exact ratio) and with its own default settings
// (what `audioresample` does, the cheap converter that damps the top tones).
//   bench_converter [seconds]   (default 10 s of sound per rate and converter)
// Each rate and converter runs in a process of its own, as the first press of a process would:
// set-up includes designing the filter; memory is what the allocator holds for the converter
// after the sound went through (its design included). Set-up is counted in CPU time, which on an
// idle machine is its duration and on a shared one is not lengthened by other processes. The
// rate converter's figures are medians of five such processes.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gst/audio/audio.h>
#include <gst/gst.h>

#include "media/rateconversion.h"
#include "media/rateconverter.h"

namespace {

constexpr int InRate = 44100;
constexpr int BufferFrames = 1152; // an MP3 frame
const int OutRates[] = {8000,  16000, 32000, 44100,  44101, 47999,
                        48000, 88200, 96000, 192000, 384000};

struct Figures
{
    double setUpMs = 0;   // the first opening in the process, the design included
    double againMs = 0;   // a second opening
    double cpuMsPerS = 0; // CPU per second of sound
    double memoryKiB = 0; // held after the sound went through
};

double cpuMs()
{
    timespec time = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return time.tv_sec * 1e3 + time.tv_nsec / 1e6;
}

size_t allocatedBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A converter as the benchmark drives it: made, then fed MP3-sized buffers, its output taken.
struct Converter
{
    std::function<void()> open;
    std::function<void(const float*, size_t)> convert;
};

Converter newConverter(int outRate)
{
    auto conversion = std::make_shared<std::unique_ptr<RateConversion>>();
    auto out = std::make_shared<std::vector<float>>();
    return {[=] { *conversion = std::make_unique<RateConversion>(1, InRate, outRate); },
            [=](const float* in, size_t frames) {
                (*conversion)->push(in, frames);
                out->resize((*conversion)->queuedFrames());
                (*conversion)->pop(out->data(), out->size());
            }};
}

struct ResamplerFree
{
    void operator()(GstAudioResampler* resampler) const { gst_audio_resampler_free(resampler); }
};
using ResamplerPtr = std::unique_ptr<GstAudioResampler, ResamplerFree>;

GstStructure* directFormOptions(int outRate)
{
    GstStructure* options = gst_structure_new_empty("options");
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_CUTOFF, G_TYPE_DOUBLE, 1.0,
                      GST_AUDIO_RESAMPLER_OPT_TRANSITION_BANDWIDTH, G_TYPE_DOUBLE, 0.002,
                      GST_AUDIO_RESAMPLER_OPT_STOP_ATTENUATION, G_TYPE_DOUBLE, 100.0,
                      GST_AUDIO_RESAMPLER_OPT_FILTER_MODE, GST_TYPE_AUDIO_RESAMPLER_FILTER_MODE,
                      GST_AUDIO_RESAMPLER_FILTER_MODE_FULL,
                      GST_AUDIO_RESAMPLER_OPT_FILTER_OVERSAMPLE, G_TYPE_INT,
                      outRate / std::gcd(InRate, outRate), GST_AUDIO_RESAMPLER_OPT_MAX_PHASE_ERROR,
                      G_TYPE_DOUBLE, 0.0, nullptr);
    return options;
}

GstStructure* defaultOptions(int outRate)
{
    GstStructure* options = gst_structure_new_empty("options");
    gst_audio_resampler_options_set_quality(GST_AUDIO_RESAMPLER_METHOD_KAISER,
                                            GST_AUDIO_RESAMPLER_QUALITY_DEFAULT, InRate, outRate,
                                            options);
    return options;
}

Converter resamplerConverter(int outRate, GstStructure* (*optionsFor)(int))
{
    auto resampler = std::make_shared<ResamplerPtr>();
    auto out = std::make_shared<std::vector<float>>();
    return {[=] {
                GstStructure* options = optionsFor(outRate);
                resampler->reset(gst_audio_resampler_new(
                    GST_AUDIO_RESAMPLER_METHOD_KAISER, GST_AUDIO_RESAMPLER_FLAG_NONE,
                    GST_AUDIO_FORMAT_F32, 1, InRate, outRate, options));
                gst_structure_free(options);
            },
            [=](const float* in, size_t frames) {
                out->resize(gst_audio_resampler_get_out_frames(resampler->get(), frames));
                gpointer input[] = {const_cast<float*>(in)};
                gpointer output[] = {out->data()};
                gst_audio_resampler_resample(resampler->get(), input, frames, output, out->size());
            }};
}

Figures measure(Converter converter, int seconds)
{
    // GStreamer's resampler library sets itself up once per process at its first use (its
    // processor checks); that is no part of any converter's set-up.
    ResamplerPtr(gst_audio_resampler_new(GST_AUDIO_RESAMPLER_METHOD_LINEAR,
                                         GST_AUDIO_RESAMPLER_FLAG_NONE, GST_AUDIO_FORMAT_F32, 1,
                                         InRate, 48000, nullptr));
    std::vector<float> tone(size_t(InRate) * size_t(seconds));
    for (size_t n = 0; n < tone.size(); ++n)
        tone[n] = float(0.5 * std::sin(2 * M_PI * 15000.0 * double(n) / InRate));

    Figures figures;
    const size_t before = allocatedBytes();
    double start = cpuMs();
    converter.open();
    figures.setUpMs = cpuMs() - start;
    const double cpuBefore = cpuMs();
    for (size_t first = 0; first + BufferFrames <= tone.size(); first += BufferFrames)
        converter.convert(tone.data() + first, BufferFrames);
    figures.cpuMsPerS = (cpuMs() - cpuBefore) / seconds;
    figures.memoryKiB = double(allocatedBytes() - before) / 1024;
    start = cpuMs();
    converter.open();
    figures.againMs = cpuMs() - start;
    return figures;
}

// Runs `measure` in a child process, so that each starts as a fresh program does.
Figures measureApart(const std::function<Figures()>& measure)
{
    std::fflush(stdout);
    int pipe[2];
    if (::pipe(pipe) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        const Figures figures = measure();
        const ssize_t written = write(pipe[1], &figures, sizeof figures);
        _exit(written == sizeof figures ? 0 : 1);
    }
    close(pipe[1]);
    Figures figures;
    const ssize_t got = read(pipe[0], &figures, sizeof figures);
    close(pipe[0]);
    waitpid(child, nullptr, 0);
    return got == sizeof figures ? figures : Figures{};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Figures medianApart(const std::function<Figures()>& measure, int runs)
{
    std::vector<double> setUp, again, cpu, memory;
    for (int run = 0; run < runs; ++run) {
        const Figures figures = measureApart(measure);
        setUp.push_back(figures.setUpMs);
        again.push_back(figures.againMs);
        cpu.push_back(figures.cpuMsPerS);
        memory.push_back(figures.memoryKiB);
    }
    return {median(setUp), median(again), median(cpu), median(memory)};
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    gst_init(nullptr, nullptr);
    std::printf("bench_converter: one channel of a 44.1 kHz tone, %d s per rate and converter, "
                "each in a process of its own\n",
                seconds);
    std::printf("%-10s | %-39s | %-30s | %s\n", "", "rate converter",
                "direct form (3204 taps, table)", "GStreamer default");
    std::printf("%-10s | %8s %8s %9s %10s | %8s %9s %10s | %9s %10s\n", "output Hz", "set-up",
                "again", "CPU", "memory", "set-up", "CPU", "memory", "CPU", "memory");
    std::printf("%-10s | %8s %8s %9s %10s | %8s %9s %10s | %9s %10s\n", "", "ms", "ms", "ms/s",
                "KiB", "ms", "ms/s", "KiB", "ms/s", "KiB");
    double largestMemoryKiB = 0;
    Figures at48;
    for (const int rate : OutRates) {
        if (rate == InRate) {
            std::printf("%-10d | passes straight through\n", rate);
            continue;
        }
        const Figures ours = medianApart([&] { return measure(newConverter(rate), seconds); }, 5);
        const Figures direct = measureApart(
            [&] { return measure(resamplerConverter(rate, directFormOptions), seconds); });
        const Figures cheap = measureApart(
            [&] { return measure(resamplerConverter(rate, defaultOptions), seconds); });
        std::printf("%-10d | %8.2f %8.3f %9.2f %10.0f | %8.1f %9.1f %10.0f | %9.2f %10.0f\n", rate,
                    ours.setUpMs, ours.againMs, ours.cpuMsPerS, ours.memoryKiB, direct.setUpMs,
                    direct.cpuMsPerS, direct.memoryKiB, cheap.cpuMsPerS, cheap.memoryKiB);
        std::fflush(stdout);
        largestMemoryKiB = std::max(largestMemoryKiB, ours.memoryKiB);
        if (rate == 48000)
            at48 = ours;
    }
    std::printf("44.1 -> 48 kHz: %.2f ms of CPU per second of one channel (target 8), set-up "
                "%.2f ms (target 2); largest memory %.0f KiB (target 4096)\n",
                at48.cpuMsPerS, at48.setUpMs, largestMemoryKiB);
    return 0;
}
