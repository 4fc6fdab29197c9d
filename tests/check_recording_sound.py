#!/usr/bin/python3
"""Decodes every tone recording with GStreamer's mpg123audiodec (not the encoder that made
them) and checks what a listener gets: the row's frequency and nothing else, the level, no
clipping, no fade, identical channels, and the playing time.

    check_recording_sound.py <recordings-folder>
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

RATE = 44100
ROWS = {101: 8, 102: 10, 103: 12, 104: 14, 105: 15, 106: 17, 107: 18, 108: 19, 109: 20,
        110: 21, 111: 22}
FRAMES = {110: 388, 111: 385}


def decode(path, work):
    raw = os.path.join(work, "decoded.f32")
    subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "mpegaudioparse",
                    "!", "mpg123audiodec", "!", "audio/x-raw,format=F32LE", "!", "filesink",
                    f"location={raw}"], check=True)
    return np.fromfile(raw, dtype="<f4")


def spectrum_db(signal):
    window = np.hanning(len(signal))
    power = np.abs(np.fft.rfft(signal * window)) ** 2
    freqs = np.fft.rfftfreq(len(signal), 1.0 / RATE)
    return freqs, power


def check(rid, samples):
    failures = []
    khz = ROWS[rid]
    frames = FRAMES.get(rid, 576)
    mono = samples[:, 0]
    if samples.shape[1] == 2 and not np.array_equal(samples[:, 0], samples[:, 1]):
        failures.append("channels differ")
    peak = np.max(np.abs(samples))
    onset = int(np.argmax(np.abs(mono) > 0.5))
    steady = mono[onset + RATE // 10: len(mono) - RATE // 10]
    rms_db = 20 * np.log10(np.sqrt(np.mean(steady ** 2)))
    peak_db = 20 * np.log10(peak)
    freqs, power = spectrum_db(steady[: 4 * RATE])
    tone = np.argmax(power)
    away = np.abs(freqs - freqs[tone]) > 50
    spur_db = 10 * np.log10(np.max(power[away]) / power[tone])
    duration = len(mono) / RATE
    # No fade: the level of the first and last tenth of a second of tone equals the middle.
    head = mono[onset: onset + RATE // 10]
    ending = mono[:len(mono) - 1152][-RATE // 10:]
    head_db = 20 * np.log10(np.sqrt(np.mean(head ** 2)))
    end_db = 20 * np.log10(np.sqrt(np.mean(ending ** 2)))
    print(f"{rid}: {khz} kHz found {freqs[tone] / 1000:.3f} kHz, {len(mono)} samples "
          f"({duration:.3f} s), RMS {rms_db:.2f} dBFS, peak {peak_db:+.3f} dBFS, "
          f"strongest spur {spur_db:.1f} dB, onset {onset} samples, "
          f"head {head_db:.2f} dB, end {end_db:.2f} dB")
    if abs(freqs[tone] - khz * 1000) > 20:
        failures.append("wrong frequency")
    if spur_db > -60:
        failures.append("spur above -60 dB")
    if abs(rms_db + 3.0) > 0.2:
        failures.append("RMS not -3.0 dBFS")
    if peak > 1.0 or peak_db < -0.2:
        failures.append("peak not just below full scale")
    if len(mono) != frames * 1152:
        failures.append("length not frames x 1152")
    if onset > 1200:
        failures.append("leading silence longer than the codec delay")
    if abs(head_db - rms_db) > 0.3 or abs(end_db - rms_db) > 0.3:
        failures.append("level not constant (fade)")
    return failures


def main():
    folder = sys.argv[1]
    bad = 0
    with tempfile.TemporaryDirectory() as work:
        for rid in ROWS:
            channels = 1 if rid == 111 else 2
            samples = decode(os.path.join(folder, f"{rid}.mp3"), work).reshape(-1, channels)
            failures = check(rid, samples)
            for failure in failures:
                print(f"FAIL {rid}: {failure}")
            bad += bool(failures)
    print(f"{len(ROWS) - bad} passed, {bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
