#!/usr/bin/python3
"""What the end-to-end test and the bench share: a real X display (Xvfb) and a real sound
server (PulseAudio with a null sink whose monitor is recorded), all ended by PID, and the
analysis of the recorded sound."""
import os
import signal
import subprocess
import threading
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


def outcome():
    """Prints the runner's summary line; the exit status: 1 when any check failed."""
    failed = len(failures)
    print(f"{0 if failed else 1} passed, {1 if failed else 0} failed")
    return 1 if failed else 0


def wait_for(predicate, timeout, step=0.005):
    """Polls a condition until it holds or `timeout` seconds pass; returns whether it held."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


# The sound servers a session can run, as desktops run them: PulseAudio with a null sink at
# 44.1 kHz or at 48 kHz float (a common desktop default), and PipeWire as Debian 12 ships it
# (48 kHz graph, with its PulseAudio service).
# Also sinks that cannot carry every tone: a Bluetooth headset's call profile plays at 16 kHz, some
# devices at 32 kHz.
SERVER_RATES = {"pulse44": 44100, "pulse48": 48000, "pipewire": 48000, "pulse16": 16000,
                "pulse32": 32000}
# No sound server at all: a sound card that runs at one rate, as Debian's default ALSA set-up
# presents one (ALSA's `plug` converting whatever it gets to the card's rate).
CARD_RATES = {"alsa48": 48000, "alsa16": 16000}
SERVER_RATES.update(CARD_RATES)


def _without_module(conf, name):
    """A PipeWire configuration without the module block `{ name = <name> ... }`."""
    start = conf.find("{ name = " + name)
    if start < 0:
        return conf
    depth, end = 0, start
    for end in range(start, len(conf)):
        depth += {"{": 1, "}": -1}.get(conf[end], 0)
        if depth == 0:
            break
    return conf[:start] + conf[end + 1:]


class Session:
    """Xvfb, a sound server with a null sink, a recorder of the sink's monitor at the sink's own
    rate; all ended by PID."""

    def __init__(self, work, server="pulse44"):
        self.work = work
        self.server = server
        self.rate = SERVER_RATES[server]
        self.processes = []
        self.env = dict(os.environ)
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.env.update(XDG_RUNTIME_DIR=runtime, HOME=work, PULSE_RUNTIME_PATH=os.path.join(runtime, "pulse"),
                        XDG_CONFIG_HOME=os.path.join(work, "config"))
        # The program opens its home page at start once in a hundred draws; a browser that does
        # nothing keeps that from ending in an error box over the window.
        self.env["BROWSER"] = "/bin/true"
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("PITCHWARDEN_AUDIO_SINK", None)
        self.env.pop("PULSE_SERVER", None)
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
        self.pulse_pid = None
        if server in CARD_RATES:
            self.start_card()
            return
        if server == "pipewire":
            self.start_pipewire(runtime)
        else:
            self.start_pulseaudio(runtime)
        # PipeWire runs its whole graph at the smallest latency any client asks for: the helpers'
        # own small latencies would make the graph run dry under load, as no desktop's does.
        latency_ms = 40 if server == "pipewire" else 5
        # A silent stream keeps the monitor delivering, so the onset of a sound is not lost.
        self.start(["gst-launch-1.0", "-q", "audiotestsrc", "wave=silence", "!", "pulsesink",
                    f"latency-time={1000 * max(latency_ms, 10)}"])
        self.recording = os.path.join(work, "rec.f32")
        self.recorder_started = time.monotonic()
        self.start(["parec", "-d", "nullsink.monitor", "--format=float32le", f"--rate={self.rate}", "--channels=2",
                    "--raw", f"--latency-msec={latency_ms}"], stdout=open(self.recording, "wb"))
        wait_for(lambda: os.path.getsize(self.recording) > self.rate, 10)

    def start_pulseaudio(self, runtime):
        sink_format = "rate=44100" if self.rate == 44100 else f"rate={self.rate} format=float32le channels=2"
        # Stream restore as desktops load it: a mute the user gave the program's stream comes back
        # on its next stream.
        subprocess.run(["pulseaudio", "-D", "--exit-idle-time=-1", "--disallow-exit", "--system=false", "-n",
                        "--load=module-native-protocol-unix",
                        f"--load=module-null-sink sink_name=nullsink {sink_format}",
                        "--load=module-always-sink", "--load=module-stream-restore"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid_file = os.path.join(runtime, "pulse", "pid")
        wait_for(lambda: os.path.exists(pid_file), 10)
        self.pulse_pid = int(open(pid_file).read().strip())

    def start_pipewire(self, runtime):
        """PipeWire, WirePlumber and pipewire-pulse on a private session bus, with Debian's own
        configuration less the realtime module (no realtime threads for a test)."""
        self.env["PIPEWIRE_RUNTIME_DIR"] = runtime
        self.start_session_bus()
        conf_dir = os.path.join(self.env["XDG_CONFIG_HOME"], "pipewire")
        os.makedirs(conf_dir)
        for conf in ("pipewire.conf", "pipewire-pulse.conf"):
            text = open(os.path.join("/usr/share/pipewire", conf)).read()
            open(os.path.join(conf_dir, conf), "w").write(_without_module(text, "libpipewire-module-rt"))
        for daemon in ("pipewire", "wireplumber", "pipewire-pulse"):
            self.start([daemon])

        def answers():
            return subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode == 0

        wait_for(answers, 20, step=0.1)
        self.pactl("load-module", "module-null-sink", "sink_name=nullsink")
        wait_for(lambda: "nullsink" in self.pactl("list", "short", "sinks"), 10, step=0.1)
        self.pactl("set-default-sink", "nullsink")

    def start_session_bus(self):
        """A private D-Bus session bus, as a desktop session has one."""
        bus = os.path.join(self.env["XDG_RUNTIME_DIR"], "bus")
        if self.env.get("DBUS_SESSION_BUS_ADDRESS") == "unix:path=" + bus:
            return
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self.start(["dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus])
        wait_for(lambda: os.path.exists(bus), 10)

    def start_accessibility_bus(self):
        """The accessibility bus of a desktop with a screen reader running: at-spi2-core's bus
        launcher on the session bus, told that a screen reader is on, as the desktop tells it;
        programs started after this expose their windows on it."""
        self.start_session_bus()
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        self.env.pop("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", None)
        self.start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])

        def screen_reader_on():
            return subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                                   "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status",
                                   "string:ScreenReaderEnabled", "variant:boolean:true"],
                                  env=self.env, capture_output=True).returncode == 0

        wait_for(screen_reader_on, 10, step=0.05)
        return ScreenReaderView(self.env)

    def kill_sound_server(self):
        """What a crash of the sound server does to its clients."""
        os.kill(self.pulse_pid, signal.SIGKILL)
        wait_for(lambda: not os.path.exists(f"/proc/{self.pulse_pid}"), 5)

    def add_sink(self, name, rate):
        """A second output beside the default one (a USB headset, say) at a rate of its own,
        kept running by a silence stream (an idle null sink may take up the rate of the next
        stream) and its monitor recorded at its rate; `sink_samples(name)` reads it."""
        self.pactl("load-module", "module-null-sink", f"sink_name={name}", f"rate={rate}", "format=float32le",
                   "channels=2")
        wait_for(lambda: name in self.pactl("list", "short", "sinks").split(), 10, step=0.1)
        latency_ms = 40 if self.server == "pipewire" else 5
        self.start(["gst-launch-1.0", "-q", "audiotestsrc", "wave=silence", "!", "pulsesink", f"device={name}",
                    f"latency-time={1000 * max(latency_ms, 10)}"])
        recording = os.path.join(self.work, f"rec-{name}.f32")
        self.start(["parec", "-d", f"{name}.monitor", "--format=float32le", f"--rate={rate}", "--channels=2",
                    "--raw", f"--latency-msec={latency_ms}"], stdout=open(recording, "wb"))
        wait_for(lambda: os.path.getsize(recording) > rate, 10)

    def sink_samples(self, name):
        """What the output `name` (made by add_sink) played so far, left channel."""
        return np.fromfile(os.path.join(self.work, f"rec-{name}.f32"), dtype="<f4").reshape(-1, 2)[:, 0]

    def hold_sound_server(self, seconds):
        """A server slow to answer: stopped now (kill -STOP) and continued `seconds` later on a
        timer thread, so that the test goes on meanwhile. Returns the timer to join."""
        os.kill(self.pulse_pid, signal.SIGSTOP)
        timer = threading.Timer(seconds, os.kill, (self.pulse_pid, signal.SIGCONT))
        timer.start()
        return timer

    def start_card(self):
        """No sound server: the private runtime folder has no server's socket, and no client
        starts one. ALSA's default device is a sound card at the session's rate: card_pacer.py
        takes its sound at that rate and records it."""
        config = os.path.join(self.env["XDG_CONFIG_HOME"], "pulse")
        os.makedirs(config)
        open(os.path.join(config, "client.conf"), "w").write("autospawn = no\n")
        self.card_fifo = os.path.join(self.work, "card.fifo")
        os.mkfifo(self.card_fifo)
        self.recording = os.path.join(self.work, "card.s32")
        pacer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "card_pacer.py")
        self.start(["/usr/bin/python3", pacer, self.card_fifo, self.recording])
        wait_for(lambda: os.path.exists(self.recording), 10)
        self.write_card_config()

    def write_card_config(self, converter=None):
        """The card as ALSA's default device, in the session's `.asoundrc`: `plug` converts to
        the card's one rate (with `converter`, else ALSA's default: speex with
        libasound2-plugins, else linear), then a `file` device writes to the pacer's FIFO."""
        choice = f'\n    rate_converter "{converter}"' if converter else ""
        open(os.path.join(self.env["HOME"], ".asoundrc"), "w").write(
            "pcm.!default {\n    type plug\n"
            f'    slave {{ pcm "card" rate {self.rate} format S32_LE channels 2 }}{choice}\n}}\n'
            'pcm.card {\n    type file\n    slave.pcm "null"\n'
            f'    file "{self.card_fifo}"\n    format "wav"\n}}\n')

    def card_samples(self):
        """What the card played so far (left channel), as card_pacer.py recorded it."""
        if not os.path.exists(self.recording):
            return np.zeros(0)
        data = np.fromfile(self.recording, dtype="<i4")
        return data[:len(data) // 2 * 2].reshape(-1, 2)[:, 0] / 2.0 ** 31

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True).stdout

    def start(self, command, **kwargs):
        process = subprocess.Popen(command, env=self.env, stderr=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def samples(self):
        if self.server in CARD_RATES:
            return self.card_samples()
        return np.fromfile(self.recording, dtype="<f4").reshape(-1, 2)[:, 0]

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        if self.pulse_pid:
            try:
                os.kill(self.pulse_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass


class ScreenReaderView:
    """What a screen reader reads of a program through the accessibility bus (pyatspi): its
    window, the objects in it and their states, and the state changes it announces as they
    come. Events arrive while `wait_for` runs the GLib main loop."""

    def __init__(self, env):
        # pyatspi finds the accessibility bus through the session bus and the display it is
        # first used with: the session's, not the test's own.
        for name in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY"):
            os.environ[name] = env[name]
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        import pyatspi
        from gi.repository import GLib
        self.pyatspi = pyatspi
        self.context = GLib.MainContext.default()
        self.events = []
        pyatspi.Registry.registerEventListener(self._heard, "object:state-changed:checked")

    def _heard(self, event):
        self.events.append((event.type, event.source, event.detail1))

    def wait_for(self, predicate, timeout):
        def pumped():
            while self.context.pending():
                self.context.iteration(False)
            return predicate()

        return wait_for(pumped, timeout, step=0.01)

    def window(self, title):
        """The top-level window with that title, or None."""
        for app in self.pyatspi.Registry.getDesktop(0):
            for window in app or []:
                if window is not None and window.name == title:
                    return window
        return None

    def descendants(self, root):
        """Every object under `root`, in the order a reader walks them."""
        found = []
        for child in root:
            if child is not None:
                found.append(child)
                found += self.descendants(child)
        return found

    def has_state(self, accessible, state):
        return accessible.getState().contains(getattr(self.pyatspi, "STATE_" + state.upper()))

    def focused(self, root):
        """The object under `root` that has the keyboard focus, or None."""
        return next((obj for obj in self.descendants(root) if self.has_state(obj, "focused")), None)

    def state_changes(self, accessible, state):
        """The values (1 set, 0 cleared) `state` took on `accessible` so far, in order."""
        return [detail for kind, source, detail in self.events
                if kind == f"object:state-changed:{state}" and source == accessible]


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






def tone_segments(samples, threshold=0.05, rate=RATE):
    """Start and end (sample indices) of each stretch of sound in the recording."""
    loud = np.abs(samples) > threshold
    idx = np.nonzero(loud)[0]
    if len(idx) == 0:
        return []
    breaks = np.nonzero(np.diff(idx) > rate // 20)[0]
    starts = np.concatenate([[idx[0]], idx[breaks + 1]])
    ends = np.concatenate([idx[breaks], [idx[-1]]])
    return list(zip(starts, ends))


def dominant_hz(x, rate=RATE):
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    return np.fft.rfftfreq(len(x), 1 / rate)[np.argmax(spectrum)]


def low_band_margin_db(x, hz, rate=RATE):
    """How far the energy below half the tone's frequency lies under the tone, in dB."""
    padded = np.zeros(16384)
    padded[:len(x)] = x * np.hanning(len(x))
    power = np.abs(np.fft.rfft(padded)) ** 2
    freqs = np.fft.rfftfreq(len(padded), 1 / rate)
    tone = power[np.abs(freqs - hz) < 400].sum()
    low = power[(freqs > 20) & (freqs < hz / 2)].sum()
    return 10 * np.log10(tone / max(low, 1e-30))


def spectrum_db(x, rate):
    """Frequencies and power in dB under the strongest component, through a Kaiser window
    (beta 20: side lobes far below 100 dB, so a component 100 Hz from a tone stands apart)."""
    power = np.abs(np.fft.rfft(x.astype(np.float64) * np.kaiser(len(x), 20))) ** 2
    return np.fft.rfftfreq(len(x), 1 / rate), 10 * np.log10(power / power.max() + 1e-300)


def mirror_hz(hz, source_rate, rate):
    """Where the mirror image of a tone at `source_rate` lands at `rate`, folded into 0 .. rate/2."""
    image = (source_rate - hz) % rate
    return min(image, rate - image)
