#!/usr/bin/python3
"""What the end-to-end test and the bench share: a real X display (Xvfb) and a real sound
server (PulseAudio with a null sink whose monitor is recorded), all ended by PID, and the
analysis of the recorded sound."""
import os
import signal
import subprocess
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
        self.start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                    "-noreset"],
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




