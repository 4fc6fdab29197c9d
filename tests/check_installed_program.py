#!/usr/bin/python3
"""Drives the installed program, started through its launcher, as a user would: its own Xvfb
display and PulseAudio null sink (from program_session), clicks injected with XTEST so their
moment is known to the millisecond, and the sink's monitor recorded and analysed.

At a 44.1 kHz PulseAudio sink (the default): 22 and 21 kHz played to their end, 15 kHz stopped
by a second press with a refused press on another row meanwhile, every tone played for a few
seconds and stopped, 8 kHz ended by closing the window. At a 48 kHz sink (`--server pulse48`,
or `pipewire` as Debian 12 ships it): every tone played for a few seconds and stopped, 22 kHz also
to its end, each checked for level, purity and the 44.1 kHz mirror image, and the server seen to
take our stream at its own rate. With `--failures`: no sound server, a server killed mid-tone, and a copy of the
program started with a pipe for its hand cursor.

    check_installed_program.py <installation prefix> <folder of the recordings> [--server NAME]
"""
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
from Xlib import X, XK, display as xdisplay
from Xlib.ext import xtest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import program_session as cp  # noqa: E402

ROWS = {8: 1, 10: 2, 12: 3, 14: 4, 15: 5, 17: 6, 18: 7, 19: 8, 20: 9, 21: 10, 22: 11}
# The recordings' level, measured at a 44.1 kHz sink; every server must play them at it.
LEVEL_DBFS = -3.05
# Clean recordings keep everything else over 98 dB under the tone (50 Hz away from it and more).
PURITY_DB = 90
# A second press should silence the tone within 50 ms; the bound asserted is far looser
# because the test machines are shared and loaded. The figure itself is printed.
STOP_BOUND_S = 0.25


class Pointer:
    """Moves, clicks and types through XTEST on the session's display."""

    def __init__(self, session, window):
        self.d = xdisplay.Display(session.env["DISPLAY"])
        self.root = self.d.screen().root
        self.window = self.d.create_resource_object("window", int(window))
        self.d.xfixes_query_version()  # the server answers XFIXES requests only after this

    def move(self, x, y):
        at = self.root.translate_coords(self.window, x, y)
        xtest.fake_input(self.d, X.MotionNotify, x=at.x, y=at.y)
        self.d.sync()

    def click(self, x, y):
        """Clicks and returns once the X server has the release (when the button fires)."""
        self.move(x, y)
        xtest.fake_input(self.d, X.ButtonPress, 1)
        xtest.fake_input(self.d, X.ButtonRelease, 1)
        self.d.sync()

    def press_row(self, row):
        self.click(268, 8 + 62 * (row - 1) + 33)

    def take_focus(self):
        """What a window manager does for a new window: gives it the keyboard."""
        self.window.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.d.sync()

    def key(self, name):
        """Presses and releases a key (an X keysym name: Tab, Return, KP_Enter)."""
        code = self.d.keysym_to_keycode(XK.string_to_keysym(name))
        xtest.fake_input(self.d, X.KeyPress, code)
        xtest.fake_input(self.d, X.KeyRelease, code)
        self.d.sync()

    def cursor(self):
        image = self.d.xfixes_get_cursor_image(self.root)
        return image.width, image.height, image.xhot, image.yhot

    def close(self):
        self.d.close()


def start_window(session, command, title, env, error_boxes=None, stderr=subprocess.DEVNULL):
    """Starts a program and returns it, its window and the seconds until the X server mapped a
    top-level window with that title (watched as it happens, not polled). With `error_boxes`,
    each error box shown before that is answered with Return and counted there."""
    d = xdisplay.Display(session.env["DISPLAY"])
    root = d.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    d.sync()
    started = time.monotonic()
    process = subprocess.Popen(command, env=env, stderr=stderr)
    session.processes.append(process)
    window, mapped, box = None, float("nan"), None
    while window is None and time.monotonic() - started < 30:
        if not d.pending_events() and not select.select([d.fileno()], [], [], 0.5)[0] and box:
            cp.xdo(session, "key", "--window", str(box), "Return")  # not taken yet: again
        while d.pending_events():
            event = d.next_event()
            if event.type == X.MapNotify and event.window.get_wm_name() == title:
                window, mapped = event.window.id, time.monotonic() - started
            elif event.type == X.MapNotify and error_boxes is not None and \
                    event.window.get_wm_name() == "Application Error":
                box = event.window.id
                error_boxes.append(box)
                cp.xdo(session, "key", "--window", str(box), "Return")
            elif event.type == X.UnmapNotify and event.window.id == box:
                box = None
    d.close()
    return process, window, mapped


def icon_sizes(session, window):
    """Width and height of each image in the window's _NET_WM_ICON, as a window manager reads it."""
    d = xdisplay.Display(session.env["DISPLAY"])
    prop = d.create_resource_object("window", int(window)).get_full_property(
        d.intern_atom("_NET_WM_ICON"), X.AnyPropertyType, sizehint=1 << 20)
    d.close()
    data = list(prop.value) if prop else []
    sizes = []
    while len(data) >= 2:
        sizes.append((data[0], data[1]))
        data = data[2 + data[0] * data[1]:]
    return sorted(sizes)


def cursor_file_shape(path):
    """Width, height and hotspot of the first image of a .CUR file."""
    data = open(path, "rb").read()
    width, height, _, _, xhot, yhot = struct.unpack_from("<BBBBHH", data, 6)
    return width or 256, height or 256, xhot, yhot


def recording_sound_length(path, work):
    """Seconds of sound in a recording as the sound server would get it from the decoder."""
    raw = os.path.join(work, "decoded.f32")
    subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "mpegaudioparse", "!",
                    "mpg123audiodec", "!", "audioconvert", "!", "audio/x-raw,format=F32LE,channels=1", "!",
                    "filesink", f"location={raw}"], check=True)
    mono = np.fromfile(raw, dtype="<f4")
    (start, end), = cp.tone_segments(mono)
    return (end - start) / cp.RATE


def sound_stretches(samples, rate, threshold=0.05):
    """Start and end (sample indices) of each stretch of sound."""
    gap = rate // 20
    idx = np.nonzero(np.abs(samples) > threshold)[0]
    if len(idx) == 0:
        return []
    breaks = np.nonzero(np.diff(idx) > gap)[0]
    return list(zip(np.concatenate([[idx[0]], idx[breaks + 1]]), np.concatenate([idx[breaks], [idx[-1]]])))


def block_levels(segment, rate):
    """Level of each 10 ms block of a stretch of sound, dB; the first and last 10 ms, where the
    program ramps the sound up and down, are left out."""
    block = rate // 100
    inner = segment[block:-block]
    blocks = inner[:len(inner) // block * block].reshape(-1, block).astype(np.float64)
    return 10 * np.log10(np.mean(blocks ** 2, axis=1) + 1e-20)


def check_purity(segment, khz, label, rate):
    """Nothing but the tone: no other component from 20 Hz to 16 kHz, and (where the sink's rate
    differs from the recordings') no mirror image of the 44.1 kHz recording."""
    steady = segment[int(0.3 * rate):-int(0.3 * rate)][:2 * rate]
    freqs, db = cp.spectrum_db(steady, rate)
    band = (freqs > 20) & (freqs < 16000) & (np.abs(freqs - khz * 1000) > 50)
    strongest = int(np.argmax(np.where(band, db, -np.inf)))
    cp.check(db[strongest] <= -PURITY_DB, f"{label}: strongest component 20 Hz-16 kHz besides the tone "
             f"{-db[strongest]:.1f} dB under it (at {freqs[strongest]:.0f} Hz)")
    if rate != cp.RATE:
        mirror = cp.mirror_hz(khz * 1000, cp.RATE, rate)
        image = float(np.max(db[np.abs(freqs - mirror) <= 5]))
        cp.check(image <= -PURITY_DB, f"{label}: 44.1 kHz mirror image at {mirror / 1000:.1f} kHz "
                 f"{-image:.1f} dB under the tone")


def check_segment(samples, khz, label, rate, expected_s=None, settled_s=0.0):
    """The one stretch of sound in `samples` is the tone, at its level, whole (no dropout from
    `settled_s` into it on), without clicks at its ends, as long as `expected_s`, and pure."""
    segments = sound_stretches(samples, rate)
    cp.check(len(segments) == 1, f"{label}: one stretch of sound ({len(segments)})")
    if not segments:
        return None
    start, end = segments[0]
    segment = samples[start:end + 1]
    found = cp.dominant_hz(segment[rate // 10:rate // 10 + rate // 2], rate) / 1000
    cp.check(abs(found - khz) < 0.05, f"{label}: tone at {found:.3f} kHz (expected {khz} kHz)")
    # The level of the tone itself: the median block, so a gap does not pull it down.
    levels = block_levels(segment, rate)
    level = float(np.median(levels))
    cp.check(abs(level - LEVEL_DBFS) <= 0.1, f"{label}: level {level:.3f} dBFS (expected {LEVEL_DBFS})")
    levels = levels[int(round(100 * settled_s)):]
    dip, at = level - float(np.min(levels)), settled_s + 0.01 + np.argmin(levels) / 100
    gaps = levels < level - 20
    missing = np.count_nonzero(gaps) / 100
    what = (f"{label}: no dropout, quietest 10 ms block {dip:.2f} dB under the median "
            f"({at:.2f} s into {(end - start) / rate:.2f} s; {1000 * missing:.0f} ms missing)")
    cp.check(dip < 1.0, what)
    # 20 ms either side of where the sound starts and ends, so the edge sits mid-window and a
    # click there is not hidden by the analysis window's taper.
    edge = int(0.02 * rate)
    head = cp.low_band_margin_db(samples[max(0, start - edge):start + edge], khz * 1000, rate)
    margin = cp.low_band_margin_db(samples[end - edge:end + edge], khz * 1000, rate)
    cp.check(head >= 50, f"{label}: low band {head:.1f} dB under the tone at the start")
    cp.check(margin >= 50, f"{label}: low band {margin:.1f} dB under the tone at the end")
    if expected_s is not None:
        # The player keeps to the recording's time line across gaps, so the stretch of sound
        # is as long as the recording either way.
        length = (end - start) / rate
        cp.check(abs(length - expected_s) < 0.05, f"{label}: played {length:.3f} s of the {expected_s:.3f} s recording")
    check_purity(segment, khz, label, rate)
    return start, end


def start_tone(session, pointer, temp, khz):
    """Presses a tone's button; returns its label, its tone file and where its sound begins in
    the recording."""
    label = f"{khz} kHz"
    tone_file = os.path.join(temp, f"{khz}kHz.mp3")
    before = len(session.samples())
    pointer.press_row(ROWS[khz])
    cp.check(cp.wait_for(lambda: os.path.exists(tone_file), 5), f"{label}: the tone file exists while the tone plays")
    return label, tone_file, before


def play_to_end(session, pointer, temp, recordings, work, khz):
    label, tone_file, before = start_tone(session, pointer, temp, khz)
    recording = os.path.join(recordings, f"{100 + ROWS[khz]}.mp3")
    expected = recording_sound_length(recording, work)
    gone = cp.wait_for(lambda: not os.path.exists(tone_file), expected + 10)
    cp.check(gone, f"{label}: the tone file is gone after the tone")
    if not gone:
        # The sound ended but the program never noticed: stop it by hand so the rows after
        # this one are still checked.
        print(f"     {label}: still 'Stop Playing' {expected + 10:.0f} s after the press: end of stream lost")
        pointer.press_row(ROWS[khz])
        cp.wait_for(lambda: not os.path.exists(tone_file), 5)
    cp.wait_for(lambda: False, 0.3)
    check_segment(session.samples()[before:], khz, label, session.rate, expected_s=expected)


def stop_with_refusal(session, pointer, temp, khz, other_khz):
    label, tone_file, before = start_tone(session, pointer, temp, khz)
    cp.wait_for(lambda: False, 1.0)

    pointer.press_row(ROWS[other_khz])
    cp.check(cp.wait_for(lambda: refusal_boxes(session), 10, step=0.05),
             f"{label}: a press on {other_khz} kHz shows the refusal box by its title")
    cp.check(not os.path.exists(os.path.join(temp, f"{other_khz}kHz.mp3")), f"{label}: the refused row wrote no tone file")
    # Closed as a window manager's close button does: a Return sent by xdotool to a box that
    # closes on the key's press leaves the key down, and its repeats press the tone buttons.
    for box in refusal_boxes(session)[:1]:
        cp.ask_to_close(session, box)
        cp.wait_for(lambda: not refusal_boxes(session), 5, step=0.05)
    cp.wait_for(lambda: False, 1.0)
    cp.check(os.path.exists(tone_file), f"{label}: still playing after the refusal")

    pointer.press_row(ROWS[khz])
    stop_pressed = len(session.samples())
    cp.check(cp.wait_for(lambda: not os.path.exists(tone_file), 5), f"{label}: a second press stops and cleans up")
    cp.wait_for(lambda: False, 0.5)
    samples = session.samples()[before:]
    found = check_segment(samples, khz, label, session.rate)
    if found:
        delay = (before + found[1] - stop_pressed) / session.rate
        print(f"     {label}: sound ended {1000 * delay:.0f} ms after the second press")
        cp.check(delay < STOP_BOUND_S, f"{label}: stopped within {1000 * STOP_BOUND_S:.0f} ms of the press "
                 "(loose: shared machine)")


def close_while_playing(session, pointer, app, window, temp, khz):
    label, tone_file, before = start_tone(session, pointer, temp, khz)
    cp.wait_for(lambda: False, 1.0)
    cp.ask_to_close(session, window)
    try:
        status = app.wait(10)
    except subprocess.TimeoutExpired:
        status = None
    cp.check(status == 0, f"closing while {label} plays ends the program with status 0 ({status})")
    cp.check(os.path.exists(tone_file), f"{label}: the tone file stays after a close during the tone")
    mark = len(session.samples())
    cp.wait_for(lambda: len(session.samples()) > mark + session.rate // 2, 5)
    after = session.samples()[mark + session.rate // 10:]
    cp.check(len(after) > 0 and np.max(np.abs(after)) < 1e-3, "silence after the close")
    check_segment(session.samples()[before:], khz, label, session.rate)


def screen_reader_and_keyboard(session, reader, pointer, temp, recordings, work):
    """What a screen reader user meets, through the accessibility bus: the window and its
    eleven buttons by name, the focus on the hidden text box once the window has the keyboard,
    Tab down the column; 10 kHz pressed with Return and stopped with Return, 12 kHz pressed with
    keypad Enter and played to its end. Each press and each end is told on that button as the
    checked state set and cleared, which screen readers speak; each tone is heard at the sink."""
    reader.wait_for(lambda: reader.window(cp.TITLE) is not None, 10)
    window = reader.window(cp.TITLE)
    cp.check(window is not None, f"screen reader: the window {cp.TITLE!r}")
    if window is None:
        return
    buttons = [obj for obj in reader.descendants(window) if re.fullmatch(r"Play \d+ kHz", obj.name or "")]
    names = [button.name for button in buttons]
    cp.check(names == [f"Play {khz} kHz" for khz in ROWS], f"screen reader: the eleven tone buttons {names}")
    if len(buttons) != len(ROWS):
        return
    button_of = dict(zip(ROWS, buttons))

    def focus_name():
        focused = reader.focused(window)
        return focused.name if focused is not None else None

    pointer.take_focus()
    text_box = "Pitchwarden Ear Check, eleven test tones"
    cp.check(reader.wait_for(lambda: focus_name() == text_box, 5),
             f"screen reader: the focus on the text box {text_box!r} at start ({focus_name()!r})")
    for khz in (8, 10):
        pointer.key("Tab")
        cp.check(reader.wait_for(lambda: focus_name() == f"Play {khz} kHz", 5),
                 f"Tab: the focus on Play {khz} kHz ({focus_name()!r})")

    def announced(khz, values, label):
        cp.check(reader.wait_for(lambda: reader.state_changes(button_of[khz], "checked") == values, 10),
                 f"{label}: checked set and cleared on Play {khz} kHz as {values} "
                 f"({reader.state_changes(button_of[khz], 'checked')})")

    def press(khz, key):
        label, tone_file = f"{khz} kHz ({key})", os.path.join(temp, f"{khz}kHz.mp3")
        before = len(session.samples())
        pointer.key(key)
        cp.check(reader.wait_for(lambda: os.path.exists(tone_file), 5), f"{label}: the key plays the tone")
        announced(khz, [1], f"{label} pressed")
        return label, tone_file, before

    label, tone_file, before = press(10, "Return")
    reader.wait_for(lambda: False, 2.0)
    pointer.key("Return")
    cp.check(reader.wait_for(lambda: not os.path.exists(tone_file), 5), f"{label}: a second Return stops it")
    announced(10, [1, 0], f"{label} stopped")
    reader.wait_for(lambda: False, 0.3)
    check_segment(session.samples()[before:], 10, label, session.rate)

    pointer.key("Tab")
    label, tone_file, before = press(12, "KP_Enter")
    expected = recording_sound_length(os.path.join(recordings, f"{100 + ROWS[12]}.mp3"), work)
    cp.check(reader.wait_for(lambda: not os.path.exists(tone_file), expected + 10), f"{label}: the tone ends")
    announced(12, [1, 0], f"{label} at its end")
    reader.wait_for(lambda: False, 0.3)
    check_segment(session.samples()[before:], 12, label, session.rate, expected_s=expected)


def start_without_display(launcher, session):
    """Outside a desktop session, and with a display that cannot be opened: one line that says
    so and how a desktop provides one, and status 1, not an abort."""
    for display in (None, ":999"):
        env = {name: value for name, value in session.env.items()
               if name not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        if display:
            env["DISPLAY"] = display
        run = subprocess.run([launcher], env=env, capture_output=True, text=True, timeout=30)
        label = f"DISPLAY={display}" if display else "no display"
        lines = run.stderr.splitlines()
        cp.check(run.returncode == 1, f"{label}: status 1 ({run.returncode})")
        cp.check(len(lines) == 1 and "display" in lines[0] and "desktop session" in lines[0]
                 and "DISPLAY or WAYLAND_DISPLAY" in lines[0] and (not display or display in lines[0]),
                 f"{label}: one line on standard error {run.stderr!r}")


def our_stream_rates(session):
    """The rates at which the sound server takes the program's streams: PulseAudio's sink inputs,
    or the formats of PipeWire's stream nodes."""
    binary = "pitchwarden-ear-check"
    if session.server == "pipewire":
        dump = subprocess.run(["pw-dump"], env=session.env, capture_output=True, text=True).stdout
        rates = []
        for node in json.loads(dump or "[]"):
            info = node.get("info") or {}
            if node.get("type") == "PipeWire:Interface:Node" and \
                    (info.get("props") or {}).get("application.process.binary") == binary:
                rates += [f.get("rate") for f in (info.get("params") or {}).get("Format", [])]
        return rates
    rates = []
    for block in session.pactl("list", "sink-inputs").split("Sink Input #")[1:]:
        if f'application.process.binary = "{binary}"' in block:
            # The sample format line, e.g. "float32le 2ch 48000Hz", is the block's only rate.
            rate = re.search(r"\b(\d+)Hz\b", block)
            rates += [int(rate.group(1))] if rate else []
    return rates


def every_tone(session, pointer, temp, recordings, work, then_22_to_its_end=True):
    """Every tone heard for a few seconds and stopped by a second press, then 22 kHz to its end."""
    for khz in ROWS:
        label, tone_file, before = start_tone(session, pointer, temp, khz)
        cp.wait_for(lambda: False, 2.0)
        if khz == 8:
            rates = our_stream_rates(session)
            cp.check(rates and all(rate == session.rate for rate in rates),
                     f"{session.server}: the server takes our stream at its own rate, {session.rate} Hz "
                     f"(stream: {rates}), so it does not resample it")
        pointer.press_row(ROWS[khz])
        cp.check(cp.wait_for(lambda: not os.path.exists(tone_file), 5), f"{label}: a second press stops and cleans up")
        cp.wait_for(lambda: False, 0.3)
        check_segment(session.samples()[before:], khz, label, session.rate)
    if then_22_to_its_end:
        play_to_end(session, pointer, temp, recordings, work, 22)


def boxes_titled(session, title):
    return cp.xdo(session, "search", "--onlyvisible", "--name", f"^{title}$").split()


def error_boxes(session):
    return boxes_titled(session, "Application Error")


def refusal_boxes(session):
    """The box a press on another tone gets while one plays."""
    return boxes_titled(session, "Pitchwarden Ear")


def dismiss_one_error_box(session, label):
    """Waits for the error box; checks that it is the only one, then closes it as a window
    manager's close button does (no key press that could outlive the box)."""
    cp.check(cp.wait_for(lambda: error_boxes(session), 10, step=0.05), f"{label}: an error box says so")
    cp.wait_for(lambda: False, 0.5)
    boxes = error_boxes(session)
    cp.check(len(boxes) == 1, f"{label}: one error box ({len(boxes)})")
    for box in boxes:
        cp.ask_to_close(session, box)
    cp.wait_for(lambda: not error_boxes(session), 5, step=0.05)


def error_reports(log):
    """What each error box said, in order, from the program's standard error in file `log`."""
    return [line.split("Application Error: ", 1)[1].strip() for line in open(log)
            if "Application Error: " in line]


class Program:
    """The installed program on the session's display, its standard error kept: each error box
    is also written there, so the test can read what the box said."""

    def __init__(self, session, launcher, temp, **env):
        self.session, self.temp = session, temp
        self.log = os.path.join(session.work, f"stderr-{time.monotonic_ns()}.txt")
        with open(self.log, "w") as log:
            self.app, self.window, _ = start_window(session, [launcher], cp.TITLE,
                                                    dict(session.env, TEMP=temp, **env), stderr=log)
        self.pointer = Pointer(session, self.window)

    def reports(self):
        return error_reports(self.log)

    def tone_file(self, khz):
        return os.path.join(self.temp, f"{khz}kHz.mp3")

    def close(self):
        self.pointer.close()
        cp.ask_to_close(self.session, self.window)
        self.app.wait(10)


def one_box_saying(program, label, text, before, within=10):
    """One error box, within `within` seconds, whose text holds `text`; closed again. `before`:
    the number of reports before the box was called for (it may be up already)."""
    started = time.monotonic()
    shown = cp.wait_for(lambda: error_boxes(program.session), within, step=0.02)
    cp.check(shown, f"{label}: an error box within {within} s ({time.monotonic() - started:.2f} s)")
    if shown:
        dismiss_one_error_box(program.session, label)
    said = program.reports()[before:]
    cp.check(len(said) == 1 and text in said[0], f"{label}: it says '{text}' ({said})")


def press_is_refused(program, khz, label, text, within=10):
    """A press that the output cannot let anyone hear: one box that says why, then nothing left
    playing, the tone file cleaned up and the program running."""
    before = len(program.reports())
    program.pointer.press_row(ROWS[khz])
    one_box_saying(program, label, text, before, within)
    cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(khz)), 5),
             f"{label}: the tone is cleaned up")
    cp.check(cp.wait_for(lambda: not our_stream_rates(program.session), 5),
             f"{label}: nothing of ours is left at the server")
    cp.check(program.app.poll() is None, f"{label}: the program goes on")


def press_plays(program, khz, label):
    """A press after the trouble is gone: the tone is heard at the sink, then stopped."""
    session = program.session
    before = len(session.samples())
    program.pointer.press_row(ROWS[khz])
    cp.wait_for(lambda: False, 1.5)
    heard = session.samples()[before:]
    cp.check(not error_boxes(session) and os.path.exists(program.tone_file(khz)) and len(heard) and
             np.max(np.abs(heard)) > 0.5, f"{label}: the next press plays")
    program.pointer.press_row(ROWS[khz])
    cp.wait_for(lambda: not os.path.exists(program.tone_file(khz)), 5)


def outputs_that_cannot_carry(launcher, work, temp):
    """A 16 kHz sink, as a Bluetooth headset's call profile, carries none of the tones; a 32 kHz
    sink carries 15 kHz but not 17 kHz."""
    session = cp.Session(os.path.join(work, "low16"), "pulse16")
    try:
        program = Program(session, launcher, temp)
        for khz in (10, 22):
            press_is_refused(program, khz, f"16 kHz sink, {khz} kHz",
                             f"plays at 16000 Hz, too low a rate for the {khz} kHz tone")
        program.close()
    finally:
        session.close()
    session = cp.Session(os.path.join(work, "low32"), "pulse32")
    try:
        program = Program(session, launcher, temp)
        label, tone_file, before = start_tone(session, program.pointer, temp, 15)
        cp.wait_for(lambda: False, 2.0)
        program.pointer.press_row(ROWS[15])
        cp.check(cp.wait_for(lambda: not os.path.exists(tone_file), 5), f"{label}: a second press stops it")
        cp.wait_for(lambda: False, 0.3)
        check_segment(session.samples()[before:], 15, f"32 kHz sink, {label}", session.rate)
        cp.check(not program.reports(), "32 kHz sink, 15 kHz: no error box")
        press_is_refused(program, 17, "32 kHz sink, 17 kHz", "plays at 32000 Hz, too low a rate for the 17 kHz tone")
        program.close()
    finally:
        session.close()


def our_stream_index(session):
    for block in session.pactl("list", "sink-inputs").split("Sink Input #")[1:]:
        if 'application.process.binary = "pitchwarden-ear-check"' in block:
            return block.split()[0]
    return None


def muted_outputs(session, launcher, temp):
    """A muted sink, and the program's own stream muted at the server: one box each; once
    unmuted, the next press plays. The stream's mute is given mid-tone, then the server gives it
    back to the next stream, and the user unmutes it while the box is open."""
    program = Program(session, launcher, temp)
    session.pactl("set-sink-mute", "nullsink", "1")
    press_is_refused(program, 12, "muted sink", "The sound output is muted")
    session.pactl("set-sink-mute", "nullsink", "0")
    press_plays(program, 12, "sink unmuted")

    program.pointer.press_row(ROWS[12])
    cp.wait_for(lambda: our_stream_index(session), 5)
    cp.wait_for(lambda: False, 0.5)
    before = len(program.reports())
    session.pactl("set-sink-input-mute", our_stream_index(session), "1")
    one_box_saying(program, "our stream muted mid-tone", "muted in the sound settings during the tone", before, 3)
    cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(12)), 5),
             "our stream muted mid-tone: the tone is cleaned up")

    program.pointer.press_row(ROWS[12])
    cp.check(cp.wait_for(lambda: error_boxes(session), 5, step=0.02),
             "the server mutes our next stream: an error box")
    cp.check(program.reports()[-1:] and "is muted in the sound settings" in program.reports()[-1],
             f"the server mutes our next stream: the box says so ({program.reports()[-1:]})")
    session.pactl("set-sink-input-mute", our_stream_index(session), "0")
    dismiss_one_error_box(session, "the server mutes our next stream")
    cp.wait_for(lambda: not os.path.exists(program.tone_file(12)), 5)
    press_plays(program, 12, "our stream unmuted")
    program.close()


def stopped_server(session, launcher, temp):
    """A server stopped (kill -STOP) before a press: the box within 2 s, and the window handles
    a click meanwhile; stopped mid-tone: the box within 3 s, and a stop pressed then returns
    within 1.5 s (the server is taken to have stopped once a question of ours has waited a
    second for its answer, and the program asks twice a second). After kill -CONT the next press
    plays."""
    program = Program(session, launcher, temp)
    pointer = program.pointer
    os.kill(session.pulse_pid, signal.SIGSTOP)
    pressed, before = time.monotonic(), len(program.reports())
    pointer.press_row(ROWS[10])
    cp.wait_for(lambda: False, 0.2)
    clicked = time.monotonic()
    pointer.press_row(ROWS[14])
    shown = cp.wait_for(lambda: refusal_boxes(session), 1.0, step=0.01)
    cp.check(shown, f"server stopped before a press: a click elsewhere meanwhile is handled within a second "
             f"({time.monotonic() - clicked:.2f} s)")
    for box in refusal_boxes(session):
        cp.ask_to_close(session, box)
    cp.check(cp.wait_for(lambda: error_boxes(session), 2.0 - (time.monotonic() - pressed), step=0.01),
             f"server stopped before a press: the box within 2 s of the press ({time.monotonic() - pressed:.2f} s)")
    one_box_saying(program, "server stopped before a press", "The sound server does not answer", before)
    cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(10)), 5),
             "server stopped before a press: the tone is cleaned up")
    os.kill(session.pulse_pid, signal.SIGCONT)
    press_plays(program, 10, "server continued")

    def stop_the_server_mid_tone():
        pointer.press_row(ROWS[10])
        cp.wait_for(lambda: False, 1.0)
        os.kill(session.pulse_pid, signal.SIGSTOP)

    before = len(program.reports())
    stop_the_server_mid_tone()
    one_box_saying(program, "server stopped mid-tone", "has taken no sound", before, within=3)
    cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(10)), 1),
             "server stopped mid-tone: cleaned up within a second of the box")
    os.kill(session.pulse_pid, signal.SIGCONT)
    press_plays(program, 10, "server continued after a stop mid-tone")

    stop_the_server_mid_tone()
    cp.wait_for(lambda: False, 0.3)
    stop, before = time.monotonic(), len(program.reports())
    pointer.press_row(ROWS[10])
    returned = cp.wait_for(lambda: error_boxes(session), 1.5, step=0.01)
    cp.check(returned, f"server stopped mid-tone: a stop pressed then returns within 1.5 s "
             f"({time.monotonic() - stop:.2f} s to the box that follows it)")
    one_box_saying(program, "server stopped mid-tone, then a stop", "stopped answering", before)
    os.kill(session.pulse_pid, signal.SIGCONT)
    cp.check(program.app.poll() is None, "server stopped mid-tone: the program goes on")
    program.close()


def failures_are_reported(session, launcher, temp):
    """No sound server, and a server that dies mid-tone: each press says so in one error box,
    the tone is cleaned up and the program lives on; a press after the server is back plays."""
    program = Program(session, launcher, temp,
                      PULSE_SERVER="unix:" + os.path.join(session.work, "no-server"))
    program.pointer.press_row(ROWS[8])
    dismiss_one_error_box(session, "no sound server")
    cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(8)), 5),
             "no sound server: the tone is cleaned up")
    cp.check(program.app.poll() is None, "no sound server: the program goes on")
    program.close()

    program = Program(session, launcher, temp)
    pointer = program.pointer
    label, tone_file, _ = start_tone(session, pointer, temp, 10)
    cp.wait_for(lambda: False, 1.0)
    session.kill_sound_server()
    dismiss_one_error_box(session, "sound server killed mid-tone")
    cp.check(cp.wait_for(lambda: not os.path.exists(tone_file), 5), "server killed mid-tone: the tone is cleaned up")
    cp.check(program.app.poll() is None, "server killed mid-tone: the program goes on")

    session.start_pulseaudio(os.path.join(session.work, "runtime"))
    label, tone_file, _ = start_tone(session, pointer, temp, 10)
    cp.wait_for(lambda: False, 1.0)
    cp.check(not error_boxes(session) and os.path.exists(tone_file), "server back: the next press plays")
    pointer.press_row(ROWS[10])
    cp.wait_for(lambda: not os.path.exists(tone_file), 5)
    program.close()


def play_every_way(session, launcher, folder, temp, recordings, work):
    """The tones played as a user plays them; returns the pointer to release."""
    # At the 44.1 kHz sink a screen reader is on, and the keyboard plays tones too.
    reader = session.start_accessibility_bus() if session.server == "pulse44" else None
    env = dict(session.env, TEMP=temp)
    app, window, mapped = start_window(session, [launcher], cp.TITLE, env)
    print(f"     window mapped {1000 * mapped:.0f} ms after start")
    cp.check(window is not None, "the window appears")
    pointer = Pointer(session, window)
    every_size = [(32, 32), (48, 48), (128, 128), (256, 256)]
    # The program hands the icon over right after the window is mapped.
    cp.wait_for(lambda: icon_sizes(session, window) == every_size, 5, step=0.02)
    sizes = icon_sizes(session, window)
    cp.check(sizes == every_size, f"the window manager gets every size of the icon: {sizes}")

    # Started through the link in bin/, the program still finds the hand cursor beside its
    # real executable: over a tone button the pointer is that cursor.
    expected = cursor_file_shape(os.path.join(folder, "HAND-M.CUR"))
    pointer.move(268, 8 + 62 * 9 + 30)
    cp.check(cp.wait_for(lambda: (pointer.move(268, 8 + 62 * 9 + 33), pointer.cursor())[1] == expected, 5, 0.05),
             f"the hand cursor from {folder} over a button: {pointer.cursor()} (expected {expected})")

    if session.server == "pulse44":
        screen_reader_and_keyboard(session, reader, pointer, temp, recordings, work)
        play_to_end(session, pointer, temp, recordings, work, 22)
        play_to_end(session, pointer, temp, recordings, work, 21)
        stop_with_refusal(session, pointer, temp, 15, 22)
        every_tone(session, pointer, temp, recordings, work, then_22_to_its_end=False)
        close_while_playing(session, pointer, app, window, temp, 8)
    else:
        every_tone(session, pointer, temp, recordings, work)
    return pointer


def pipe_as_hand_cursor(session, folder, env, work):
    """A pipe named HAND-M.CUR beside a copy of the installed program: start-up reports the
    file it cannot load in one error box and goes on to show the window. The copy has no media
    library beside it either: a press says so in one box."""
    copy = os.path.join(work, "pipe-cursor")
    os.makedirs(copy)
    program = shutil.copy2(os.path.join(folder, "pitchwarden-ear-check"), copy)
    os.mkfifo(os.path.join(copy, "HAND-M.CUR"))
    boxes = []
    app, window, _ = start_window(session, [program], cp.TITLE, env, error_boxes=boxes)
    cp.check(window is not None, "a pipe named HAND-M.CUR: the window appears")
    cp.check(len(boxes) == 1, f"a pipe named HAND-M.CUR: one error box at start ({len(boxes)})")
    if window is not None:
        pointer = Pointer(session, window)
        pointer.press_row(ROWS[8])
        dismiss_one_error_box(session, "no media library beside the program")
        pointer.close()
        cp.ask_to_close(session, window)
    try:
        status = app.wait(10)
    except subprocess.TimeoutExpired:
        app.kill()
        status = None
    cp.check(status == 0, f"a pipe named HAND-M.CUR: the program ends with status 0 ({status})")


def main():
    prefix, recordings = sys.argv[1], sys.argv[2]
    server = sys.argv[sys.argv.index("--server") + 1] if "--server" in sys.argv else "pulse44"
    launcher = os.path.join(prefix, "bin", "pitchwarden-ear-check")
    folder = os.path.join(prefix, "lib", "pitchwarden-ear-check")
    cp.check(os.path.islink(launcher), "the launcher is a link")
    work = tempfile.mkdtemp(prefix="pitchwarden-installed-")
    temp = os.path.join(work, "temp")
    os.makedirs(temp)
    session = cp.Session(work, server)
    print(f"     sound server: {server}, sink at {session.rate} Hz")
    pointer = None
    try:
        if "--failures" in sys.argv:
            # The server is killed last: the recorder goes with it.
            muted_outputs(session, launcher, temp)
            stopped_server(session, launcher, temp)
            failures_are_reported(session, launcher, temp)
            pipe_as_hand_cursor(session, folder, dict(session.env, TEMP=temp), work)
            outputs_that_cannot_carry(launcher, work, temp)
        else:
            if server == "pulse44":
                start_without_display(launcher, session)
            pointer = play_every_way(session, launcher, folder, temp, recordings, work)
    finally:
        if pointer:
            pointer.close()
        session.close()
        shutil.rmtree(work, ignore_errors=True)
    return cp.outcome()


if __name__ == "__main__":
    sys.exit(main())
