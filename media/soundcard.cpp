#include "media/soundcard.h"

#include <memory>

#include <alsa/asoundlib.h>

namespace {

struct PcmClose
{
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};

QString alsaError(int code)
{
    return QString::fromLocal8Bit(snd_strerror(code));
}

// ALSA reports every step of a failed look-up on standard error; the reason is told in the box.
void quietly(const char*, int, const char*, int, const char*, ...) {}

struct QuietAlsa
{
    QuietAlsa() { snd_lib_error_set_handler(&quietly); }
    ~QuietAlsa() { snd_lib_error_set_handler(nullptr); }
};

} // namespace

// Opened without blocking: a card that another program holds answers at once that it is busy.
SoundCard SoundCard::probe(int wanted)
{
    const QuietAlsa quiet;
    snd_pcm_t* opened = nullptr;
    if (const int code = snd_pcm_open(&opened, Device, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        code < 0)
        return {0, alsaError(code)};
    const std::unique_ptr<snd_pcm_t, PcmClose> pcm(opened);
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    unsigned int rate = unsigned(wanted);
    int code = snd_pcm_hw_params_any(pcm.get(), params);
    if (code >= 0)
        code = snd_pcm_hw_params_set_rate_resample(pcm.get(), params, 0);
    if (code >= 0)
        code = snd_pcm_hw_params_set_rate_near(pcm.get(), params, &rate, nullptr);
    if (code < 0)
        return {0, alsaError(code)};
    return {int(rate), {}};
}
