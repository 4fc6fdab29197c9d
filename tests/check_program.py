#!/usr/bin/python3
"""Drives the real program as a user would: a real X display (Xvfb), a real sound server
(PulseAudio with a null sink whose monitor is recorded), mouse clicks with xdotool. Checks what
comes out of the speaker and what the program leaves behind.

    check_program.py <program>
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
from Xlib import X, display as xdisplay, protocol

RATE = 44100
TITLE = "Pitchwarden Ear Check"
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def wait_for(predicate, timeout, step=0.005):
    """Polls a condition until it holds or `timeout` seconds pass; returns whether it held."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Session:
    """Xvfb, PulseAudio with a null sink, a recorder of the sink's monitor; all ended by PID."""

    def __init__(self, work):
        self.work = work
        self.processes = []
        self.env = dict(os.environ)
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.env.update(XDG_RUNTIME_DIR=runtime, HOME=work, PULSE_RUNTIME_PATH=os.path.join(runtime, "pulse"))
        # The program opens its home page at start once in a hundred draws; a browser that does
        # nothing keeps that from ending in an error box over the window.
        self.env["BROWSER"] = "/bin/true"
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("PITCHWARDEN_AUDIO_SINK", None)
        read_fd, write_fd = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                   pass_fds=(write_fd,))
        os.close(write_fd)
        number = b""
        while not number.endswith(b"\n"):
            number += os.read(read_fd, 16)
        os.close(read_fd)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        subprocess.run(["pulseaudio", "-D", "--exit-idle-time=-1", "--disallow-exit", "--system=false", "-n",
                        "--load=module-native-protocol-unix",
                        "--load=module-null-sink sink_name=nullsink rate=44100",
                        "--load=module-always-sink"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid_file = os.path.join(runtime, "pulse", "pid")
        wait_for(lambda: os.path.exists(pid_file), 10)
        self.pulse_pid = int(open(pid_file).read().strip())
        # A silent stream keeps the monitor delivering, so the onset of a sound is not lost.
        self.start(["gst-launch-1.0", "-q", "audiotestsrc", "wave=silence", "!", "pulsesink"])
        self.recording = os.path.join(work, "rec.f32")
        self.recorder_started = time.monotonic()
        self.start(["parec", "-d", "nullsink.monitor", "--format=float32le", "--rate=44100", "--channels=2",
                    "--raw", "--latency-msec=5"], stdout=open(self.recording, "wb"))
        wait_for(lambda: os.path.getsize(self.recording) > RATE, 10)

    def start(self, command, **kwargs):
        process = subprocess.Popen(command, env=self.env, stderr=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def samples(self):
        return np.fromfile(self.recording, dtype="<f4").reshape(-1, 2)[:, 0]

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        try:
            os.kill(self.pulse_pid, signal.SIGTERM)
        except (AttributeError, ProcessLookupError):
            pass


def xdo(session, *args):
    return subprocess.run(["xdotool", *args], env=session.env, capture_output=True, text=True).stdout.strip()


def press(session, window, row):
    y = 8 + 62 * (row - 1) + 20 + 13
    xdo(session, "mousemove", "--window", window, "268", str(y), "click", "1")


def ask_to_close(session, window):
    """What a window manager's close button does: a WM_DELETE_WINDOW message to the window."""
    d = xdisplay.Display(session.env["DISPLAY"])
    w = d.create_resource_object("window", int(window))
    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    event = protocol.event.ClientMessage(window=w, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    w.send_event(event, event_mask=X.NoEventMask)
    # A round trip before hanging up: a request still unread when the connection closes may be
    # dropped by the server.
    d.sync()
    d.close()


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def level_db(x):
    return 10 * np.log10(np.mean(x.astype(np.float64) ** 2) + 1e-20)


def dropout_ms(x):
    """Milliseconds inside a steady 8 kHz tone where the sound fell away (the server ran dry).
    Higher tones beat against the sampling rate, so their envelope dips by itself."""
    window = RATE // 1000
    frames = len(x) // window
    envelope = np.abs(x[:frames * window]).reshape(frames, window).max(axis=1)
    return int((envelope < 0.5 * np.median(envelope)).sum())


def tone_segments(samples, threshold=0.05):
    """Start and end (sample indices) of each stretch of sound in the recording."""
    loud = np.abs(samples) > threshold
    idx = np.nonzero(loud)[0]
    if len(idx) == 0:
        return []
    breaks = np.nonzero(np.diff(idx) > RATE // 20)[0]
    starts = np.concatenate([[idx[0]], idx[breaks + 1]])
    ends = np.concatenate([idx[breaks], [idx[-1]]])
    return list(zip(starts, ends))


def dominant_hz(x):
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    return np.fft.rfftfreq(len(x), 1 / RATE)[np.argmax(spectrum)]


def low_band_margin_db(x, hz):
    """How far the energy below half the tone's frequency lies under the tone, in dB."""
    padded = np.zeros(16384)
    padded[:len(x)] = x * np.hanning(len(x))
    power = np.abs(np.fft.rfft(padded)) ** 2
    freqs = np.fft.rfftfreq(len(padded), 1 / RATE)
    tone = power[np.abs(freqs - hz) < 400].sum()
    low = power[(freqs > 20) & (freqs < hz / 2)].sum()
    return 10 * np.log10(tone / max(low, 1e-30))


def analyse(samples, start, end, khz, label):
    if os.environ.get("PITCHWARDEN_KEEP_RECORDING"):
        np.save(os.environ["PITCHWARDEN_KEEP_RECORDING"] + label.replace(" ", ""), samples[max(0, start - 4410):start + 4410])
    segment = samples[start:end + 1]
    found = dominant_hz(segment[RATE // 10: RATE // 10 + RATE // 2]) / 1000
    check(abs(found - khz) < 0.05, f"{label}: tone at {found:.3f} kHz (expected {khz} kHz)")
    level = level_db(segment[RATE // 10: -RATE // 10])
    check(abs(level + 3.05) < 0.5, f"{label}: level {level:.2f} dBFS (expected about -3.05)")
    # 20 ms either side of where the sound starts and ends, so the edge sits mid-window and a
    # click there is not hidden by the analysis window's taper.
    edge = int(0.02 * RATE)
    head = low_band_margin_db(samples[max(0, start - edge):start + edge], khz * 1000)
    tail = low_band_margin_db(samples[end - edge:end + edge], khz * 1000)
    return head, tail, (end - start) / RATE


def main():
    program = sys.argv[1]
    work = tempfile.mkdtemp(prefix="pitchwarden-check-")
    temp = os.path.join(work, "temp")
    os.makedirs(temp)
    session = Session(work)
    try:
        env = dict(session.env, TEMP=temp)
        launched = time.monotonic()
        app = subprocess.Popen([program], env=env, stderr=subprocess.DEVNULL)
        session.processes.append(app)
        window = xdo(session, "search", "--sync", "--onlyvisible", "--name", f"^{TITLE}$")
        print(f"window mapped {1000 * (time.monotonic() - launched):.0f} ms after start")
        check(bool(window), "the window appears")

        # 21 kHz played to its end.
        tone_file = os.path.join(temp, "21kHz.mp3")
        before = len(session.samples())
        pressed = time.monotonic()
        press(session, window, 10)
        check(wait_for(lambda: os.path.exists(tone_file), 5), "the tone file exists while the tone plays")
        cpu_before, wall_before = cpu_seconds(app.pid), time.monotonic()
        check(wait_for(lambda: not os.path.exists(tone_file), 20), "the tone file is gone after the tone")
        cpu_share = (cpu_seconds(app.pid) - cpu_before) / (time.monotonic() - wall_before)
        print(f"press to clean-up {time.monotonic() - pressed:.2f} s; "
              f"program CPU while the tone played: {100 * cpu_share:.1f}% of one core")
        wait_for(lambda: False, 0.3)
        samples = session.samples()[before:]
        segments = tone_segments(samples)
        check(len(segments) == 1, f"one stretch of sound ({len(segments)})")
        if segments:
            head, tail, length = analyse(samples, *segments[0], 21, "21 kHz")
            check(abs(length - 10.136) < 0.05, f"21 kHz: played {length:.3f} s of the 10.136 s recording")
            check(head >= 50 and tail >= 50, f"21 kHz: low band {head:.1f} dB / {tail:.1f} dB under the tone at start / end")

        # 8 kHz stopped by a second press; a press on another row meanwhile is refused.
        before = len(session.samples())
        press(session, window, 1)
        wait_for(lambda: os.path.exists(os.path.join(temp, "8kHz.mp3")), 5)
        wait_for(lambda: False, 1.0)
        press(session, window, 7)
        box = xdo(session, "search", "--sync", "--onlyvisible", "--name", "^Pitchwarden Ear$")
        check(bool(box), "the refusal box appears, titled with the application title")
        xdo(session, "key", "--window", box, "Return")
        wait_for(lambda: False, 1.0)
        stop_pressed = len(session.samples())
        press(session, window, 1)
        check(wait_for(lambda: not os.path.exists(os.path.join(temp, "8kHz.mp3")), 5), "a second press stops and cleans up")
        wait_for(lambda: False, 0.5)
        samples = session.samples()[before:]
        segments = tone_segments(samples)
        check(len(segments) == 1, f"the refusal did not interrupt the tone ({len(segments)} stretches)")
        if segments:
            head, tail, length = analyse(samples, *segments[0], 8, "8 kHz")
            check(head >= 50, f"8 kHz: low band {head:.1f} dB under the tone at the start")
            check(tail >= 50, f"8 kHz: low band {tail:.1f} dB under the tone at the stop")
            steady = samples[segments[0][0] + RATE // 50:segments[0][1] - RATE // 50]
            gap = dropout_ms(steady)
            check(gap == 0, f"8 kHz: no dropout in the tone ({gap} ms missing)")
            stop_delay = (before + segments[0][1] - stop_pressed) / RATE
            print(f"8 kHz: sound ended {1000 * stop_delay:.0f} ms after the stop press reached the recorder")

        # Closing the window while a tone plays ends the program with status 0 and silence.
        press(session, window, 5)
        check(wait_for(lambda: os.path.exists(os.path.join(temp, "15kHz.mp3")), 5), "15 kHz starts")
        wait_for(lambda: False, 0.5)
        ask_to_close(session, window)
        try:
            status = app.wait(10)
        except subprocess.TimeoutExpired:
            status = None
            for shown in xdo(session, "search", "--onlyvisible", "--name", ".").split():
                print("window still shown:", xdo(session, "getwindowname", shown))
            if shutil.which("gdb"):  # show where it hangs
                subprocess.run(["gdb", "-p", str(app.pid), "-batch", "-ex", "thread apply all bt 12"],
                               stdin=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        check(status == 0, f"closing while a tone plays ends the program with status 0 ({status})")
        check(os.path.exists(os.path.join(temp, "15kHz.mp3")), "the tone file stays after a close during the tone")
        mark = len(session.samples())
        wait_for(lambda: len(session.samples()) > mark + RATE // 2, 5)
        after = session.samples()[mark + RATE // 10:]
        check(len(after) > 0 and np.max(np.abs(after)) < 1e-3, "silence after the close")
    finally:
        session.close()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
