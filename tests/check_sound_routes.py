#!/usr/bin/python3
"""Where real desktops send the installed program's sound besides the default output, with the
program driven and its sound analysed as check_installed_program.py does (its Program, presses,
boxes and per-tone checks are used here).

At a sound server (PulseAudio with stream restore, as desktops load it):
- `moved_then_stored_route`: beside the default output a second one, `usb`, at another rate
  (48 kHz beside 44.1 kHz, and 44.1 kHz beside 48 kHz). The user drags our stream there in the
  mixer mid-tone: the tone follows, at its level and pure at usb's rate. The server remembers the
  move and puts our next stream on usb at once: that tone too.
- `stop_while_opening`: a second press ("Stop Playing") while the tone is still opening, the
  server slow to answer for half a second: the tone stops.
- `slow_plugins`: every GStreamer plugin slow to load: the first press takes its time but plays.
- `headset_profile_switch`: a headset switching to its call profile mid-tone: the box names the
  rate.
Without a sound server (`--card`), ALSA's default device being a card at one rate behind `plug`
(program_session.py's card, recorded by card_pacer.py):
- `card_carries`: at 48 kHz, 8, 20 and 22 kHz at their level and pure.
- `card_too_slow`: at 16 kHz, 10 kHz refused with a box that names the rate.

    check_sound_routes.py <installation prefix> [--card] [--slow-plugins LIBRARY]
        [--only SCENARIO] [--alsa-converter NAME]

`--only` runs one scenario (of either group); `--alsa-converter linear` has ALSA's `plug` convert
as it does without libasound2-plugins.
"""
import contextlib
import os
import shutil
import sys
import tempfile
import time
import traceback

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import program_session as cp  # noqa: E402
from check_installed_program import (ROWS, Program, check_segment, dismiss_one_error_box, error_boxes,  # noqa: E402
                                     one_box_saying, our_stream_index, our_stream_rates, press_is_refused,
                                     press_plays, sound_stretches, start_tone)

# The tone that shows most what a converter does: 22 kHz lies 100 Hz from the 44.1 kHz mirror.
ROUTE_TONE_KHZ = 22
# How long a tone plays before it is stopped: 2 s of steady sound to analyse, and more.
PLAY_S = 3.0
# The server moves our stream to the other output at once, as it is; the program follows within
# this long (a fade, then its stream at that output's rate). The moved tone is checked from here.
MOVE_SETTLED_S = 0.5
# The server stopped from the first press for this long; the second press comes this far in.
SERVER_HOLD_S = 0.5
SECOND_PRESS_S = 0.2
# The second press gives the button its caption back within this long of the first press
# (loose: shared machine; the figure is printed) ...
OPENING_STOP_BOUND_S = 3.0
# ... and what is heard of the tone is at most its fade behind the sink's 100 ms of buffering.
OPENING_STOP_SOUND_S = 0.15
# Every plugin load waits this long, as from a cold SD card; the first press loads about 11. The
# first press must be heard within the bound (loose: shared machine; the figure is printed).
PLUGIN_LOAD_MS = 200
SLOW_FIRST_PRESS_BOUND_S = 15
# The tones played on a 48 kHz card without a server: the lowest, and the highest two.
CARD_TONES_KHZ = (8, 20, 22)
# The emulated card takes the player's first buffer and then a segment more at once (ALSA's null
# device never makes a player wait, as a card with a full buffer does), so GStreamer's sink may
# hand over its next segment before the player has filled it: now and then 10-40 ms of silence
# about 0.2 s into a tone that a card would not have. Dropouts are looked for from here on.
CARD_SETTLED_S = 0.3


@contextlib.contextmanager
def session_in(work, name, server):
    """A Session in its own folder under `work`, closed at the end, its sound server's exit
    awaited (the server removes its runtime folder as it goes, after the test's own clean-up
    otherwise)."""
    session = cp.Session(os.path.join(work, name), server)
    try:
        yield session
    finally:
        session.close()
        if session.pulse_pid:
            cp.wait_for(lambda: not os.path.exists(f"/proc/{session.pulse_pid}"), 5)


def our_stream_sink(session):
    """The name of the sink our stream plays on, or None."""
    sinks = dict(line.split("\t")[:2] for line in session.pactl("list", "short", "sinks").splitlines())
    for block in session.pactl("list", "sink-inputs").split("Sink Input #")[1:]:
        if 'application.process.binary = "pitchwarden-ear-check"' in block:
            for line in block.splitlines():
                if line.strip().startswith("Sink:"):
                    return sinks.get(line.split(":", 1)[1].strip())
    return None


def what_arrived(samples, khz, rate):
    """The tone's level and the strongest component (dBFS, as a sine's), in the half second where
    the strongest component is loudest."""
    window = np.hanning(rate // 2)
    freqs = np.fft.rfftfreq(len(window), 1 / rate)
    loudest = None
    for start in range(0, len(samples) - len(window) + 1, len(window)):
        spectrum = np.abs(np.fft.rfft(samples[start:start + len(window)] * window))
        levels = 20 * np.log10(2 * spectrum / window.sum() / np.sqrt(2) + 1e-300)
        if loudest is None or np.max(levels[freqs > 20]) > np.max(loudest[freqs > 20]):
            loudest = levels
    if loudest is None:
        return "nothing"
    strongest = int(np.argmax(np.where(freqs > 20, loudest, -np.inf)))
    near = np.abs(freqs - 1000 * khz) <= 50
    tone = f"the {khz} kHz tone at {np.max(loudest[near]):.1f} dBFS" if near.any() else f"no {khz} kHz tone"
    return f"{tone}; the strongest component {freqs[strongest]:.0f} Hz at {loudest[strongest]:.1f} dBFS"


def check_heard(samples, khz, label, rate, **checks):
    """check_segment, on a stretch of sound a second long at least; else what did arrive is
    printed."""
    stretches = sound_stretches(samples, rate)
    if stretches and stretches[0][1] - stretches[0][0] >= rate:
        check_segment(samples, khz, label, rate, **checks)
        return
    lengths = ", ".join(f"{(end - start) / rate:.3f} s" for start, end in stretches)
    cp.check(False, f"{label}: one stretch of sound a second long at least ({lengths or 'none'})")
    print(f"     {label}: arrived: {what_arrived(samples, khz, rate)}")


def silent(session, seconds=0.2):
    """Whether the sink played nothing for the last `seconds`."""
    tail = session.samples()[-int(seconds * session.rate):]
    return len(tail) > 0 and np.max(np.abs(tail)) < 1e-3


def stop_tone(program, khz, label):
    program.pointer.press_row(ROWS[khz])
    cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(khz)), 5),
             f"{label}: a press on Stop Playing stops it and cleans up")
    cp.wait_for(lambda: False, 0.3)


def moved_then_stored_route(launcher, work, temp, server, usb_rate):
    """Beside the default output, another one, `usb`, at another rate. The tone plays on the
    default as usual; the user drags our stream mid-tone to usb: the tone follows, converted to
    usb's rate (the server takes our stream at that rate), heard there at its level and pure
    once the program has followed the move.
    The server remembers the move and puts our next stream on usb at once: that tone too."""
    with session_in(work, f"{server}-usb{usb_rate}", server) as session:
        session.add_sink("usb", usb_rate)
        program = Program(session, launcher, temp)
        khz, where = ROUTE_TONE_KHZ, f"default {session.rate} Hz, usb {usb_rate} Hz"

        label, _, before = start_tone(session, program.pointer, temp, khz)
        label = f"{where}, {label} on the default output"
        cp.wait_for(lambda: False, PLAY_S)
        stop_tone(program, khz, label)
        check_heard(session.samples()[before:], khz, label, session.rate)

        label = f"{where}, {khz} kHz moved to usb mid-tone"
        start_tone(session, program.pointer, temp, khz)
        cp.wait_for(lambda: our_stream_index(session), 5)
        cp.wait_for(lambda: False, 1.0)
        before = len(session.sink_samples("usb"))
        session.pactl("move-sink-input", our_stream_index(session), "usb")
        cp.wait_for(lambda: False, PLAY_S)
        rates = our_stream_rates(session)
        cp.check(rates == [usb_rate], f"{label}: the server takes our stream at usb's rate (stream: {rates})")
        stop_tone(program, khz, label)
        check_heard(session.sink_samples("usb")[before + int(MOVE_SETTLED_S * usb_rate):], khz, label, usb_rate)

        label = f"{where}, {khz} kHz routed to usb by the server"
        before = len(session.sink_samples("usb"))
        start_tone(session, program.pointer, temp, khz)
        cp.check(cp.wait_for(lambda: our_stream_sink(session) == "usb", 5),
                 f"{label}: the server puts our next stream on usb, where it was moved ({our_stream_sink(session)})")
        cp.wait_for(lambda: False, PLAY_S)
        rates = our_stream_rates(session)
        cp.check(rates == [usb_rate], f"{label}: the server takes our stream at usb's rate (stream: {rates})")
        stop_tone(program, khz, label)
        check_heard(session.sink_samples("usb")[before:], khz, label, usb_rate)
        cp.check(not program.reports(), f"{where}: no error box ({program.reports()})")
        program.close()


def stop_while_opening(launcher, work, temp, _):
    """A second press on "Stop Playing" while the tone is still opening, the server slow to
    answer (stopped for half a second from the first press): the tone stops, nothing of it or
    no more than a fade is heard, and no box; the next press plays."""
    with session_in(work, "slow-server", "pulse44") as session:
        program = Program(session, launcher, temp)
        # GStreamer and the media library loaded already: only the server is slow here.
        press_plays(program, 8, "slow server: a press before")
        cp.wait_for(lambda: silent(session), 5)
        khz, label = 12, "second press while the server is slow to answer"
        before = len(session.samples())
        resumed = session.hold_sound_server(SERVER_HOLD_S)
        pressed = time.monotonic()
        program.pointer.press_row(ROWS[khz])
        cp.wait_for(lambda: False, SECOND_PRESS_S)
        program.pointer.press_row(ROWS[khz])
        resumed.join()
        stopped = cp.wait_for(lambda: not os.path.exists(program.tone_file(khz)),
                              OPENING_STOP_BOUND_S - (time.monotonic() - pressed))
        cp.check(stopped, f"{label}: the tone stops, the button's caption back "
                 f"{time.monotonic() - pressed:.2f} s after the first press (bound {OPENING_STOP_BOUND_S} s)")
        if not stopped:
            # The second press was lost: stopped now, so that what was heard can be measured.
            stop_tone(program, khz, label)
        cp.wait_for(lambda: silent(session), 2)
        heard = sum(end + 1 - start for start, end in sound_stretches(session.samples()[before:], session.rate))
        cp.check(heard / session.rate <= OPENING_STOP_SOUND_S, f"{label}: {1000 * heard / session.rate:.0f} ms "
                 f"of the tone heard (at most {1000 * OPENING_STOP_SOUND_S:.0f} ms)")
        cp.check(not program.reports(), f"{label}: no error box ({program.reports()})")
        press_plays(program, khz, f"{label}, then")
        program.close()


def slow_plugins(launcher, work, temp, library):
    """Every GStreamer plugin slow to load, as on a small computer reading them from a cold SD
    card: the first press takes its time but plays, at its level and pure, with no box."""
    cp.check(library and os.path.exists(library), f"slow plugins: the preloaded library ({library})")
    if not (library and os.path.exists(library)):
        return
    with session_in(work, "slow-plugins", "pulse44") as session:
        program = Program(session, launcher, temp, LD_PRELOAD=library, SLOW_PLUGIN_LOADING_MS=str(PLUGIN_LOAD_MS))
        khz, label = 10, f"plugins loading in {PLUGIN_LOAD_MS} ms each, the first press"
        before = len(session.samples())
        pressed = time.monotonic()
        program.pointer.press_row(ROWS[khz])

        def heard():
            sound = session.samples()[before:]
            return len(sound) > 0 and np.max(np.abs(sound)) > 0.5

        cp.wait_for(lambda: heard() or error_boxes(session), SLOW_FIRST_PRESS_BOUND_S, step=0.02)
        took = time.monotonic() - pressed
        cp.check(heard(), f"{label}: the tone is heard within {SLOW_FIRST_PRESS_BOUND_S} s "
                 f"({'heard' if heard() else 'not heard; waited'} {took:.2f} s after the press)")
        cp.check(not error_boxes(session) and not program.reports(), f"{label}: no error box ({program.reports()})")
        if error_boxes(session):
            dismiss_one_error_box(session, label)
        if os.path.exists(program.tone_file(khz)):
            cp.wait_for(lambda: False, PLAY_S)
            stop_tone(program, khz, label)
            check_heard(session.samples()[before:], khz, label, session.rate)
        program.close()


def headset_profile_switch(launcher, work, temp, _):
    """A headset switching to its call profile mid-tone (another program opened its
    microphone): its 48 kHz output goes and the server moves our stream to its 16 kHz one. One
    box names the rate; the tone is cleaned up and the program goes on."""
    with session_in(work, "headset", "pulse48") as session:
        # The call profile's output, there and running from the start: an idle null sink would
        # take up the rate of the streams moved to it.
        session.add_sink("headset", 16000)
        program = Program(session, launcher, temp)
        khz, label = 10, "headset switched to its call profile mid-tone"
        start_tone(session, program.pointer, temp, khz)
        cp.wait_for(lambda: our_stream_index(session), 5)
        cp.wait_for(lambda: False, 1.0)
        before = len(program.reports())
        modules = session.pactl("list", "short", "modules").splitlines()
        session.pactl("unload-module", next(line.split()[0] for line in modules if "sink_name=nullsink" in line))
        one_box_saying(program, label, "changed to 16000 Hz during the tone", before, within=3)
        cp.check(cp.wait_for(lambda: not os.path.exists(program.tone_file(khz)), 5), f"{label}: the tone is cleaned up")
        cp.check(cp.wait_for(lambda: not our_stream_rates(session), 5),
                 f"{label}: nothing of ours is left at the server")
        cp.check(program.app.poll() is None, f"{label}: the program goes on")
        program.close()


def card_carries(launcher, work, temp, converter):
    """No sound server, a card at 48 kHz behind ALSA's `plug`: each tone played and stopped is
    heard at its level and pure, its 44.1 kHz mirror gone, with no box (the program converts to
    the card's rate itself rather than leave it to ALSA)."""
    with session_in(work, "card48", "alsa48") as session:
        session.write_card_config(converter)
        program = Program(session, launcher, temp)
        for khz in CARD_TONES_KHZ:
            label, _, before = start_tone(session, program.pointer, temp, khz)
            label = f"card at 48 kHz, {label}"
            cp.wait_for(lambda: False, PLAY_S)
            stop_tone(program, khz, label)
            check_heard(session.samples()[before:], khz, label, session.rate, settled_s=CARD_SETTLED_S)
        cp.check(not program.reports(), f"card at 48 kHz: no error box ({program.reports()})")
        program.close()


def card_too_slow(launcher, work, temp, converter):
    """No sound server, a card at 16 kHz behind ALSA's `plug` (it would play 10 kHz as its
    alias): the press is refused with the box that names the rate."""
    with session_in(work, "card16", "alsa16") as session:
        session.write_card_config(converter)
        program = Program(session, launcher, temp)
        khz, label = 10, "card at 16 kHz, 10 kHz"
        before = len(session.samples())
        press_is_refused(program, khz, label, "plays at 16000 Hz, too low a rate for the 10 kHz tone")
        if os.path.exists(program.tone_file(khz)):
            stop_tone(program, khz, f"{label}, played")
            print(f"     {label}: played; arrived: {what_arrived(session.samples()[before:], khz, session.rate)}")
        program.close()


SERVER_SCENARIOS = {
    "moved_then_stored_route_to_48k": lambda *a: moved_then_stored_route(*a[:3], "pulse44", 48000),
    "moved_then_stored_route_to_44k": lambda *a: moved_then_stored_route(*a[:3], "pulse48", 44100),
    "stop_while_opening": stop_while_opening,
    "slow_plugins": slow_plugins,
    "headset_profile_switch": headset_profile_switch,
}
CARD_SCENARIOS = {"card_carries": card_carries, "card_too_slow": card_too_slow}


def option(name):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else None


def main():
    prefix = sys.argv[1]
    launcher = os.path.join(prefix, "bin", "pitchwarden-ear-check")
    scenarios = CARD_SCENARIOS if "--card" in sys.argv else SERVER_SCENARIOS
    if option("--only"):
        scenarios = {option("--only"): {**SERVER_SCENARIOS, **CARD_SCENARIOS}[option("--only")]}
    work = tempfile.mkdtemp(prefix="pitchwarden-routes-")
    temp = os.path.join(work, "temp")
    os.makedirs(temp)
    try:
        for name, scenario in scenarios.items():
            print(f"     -- {name}", flush=True)
            argument = option("--slow-plugins") if name == "slow_plugins" else option("--alsa-converter")
            try:
                scenario(launcher, work, temp, argument)
            except Exception:  # one scenario's fault, the others still run
                traceback.print_exc()
                cp.check(False, f"{name}: ran to its end")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return cp.outcome()


if __name__ == "__main__":
    sys.exit(main())
