#!/usr/bin/python3
"""A sound card's playback clock for ALSA's `file` device, whose own slave (`null`) takes sound
as fast as it comes: reads the WAV streams the device writes to FIFO, one per opening of the
device, at the real-time rate each one's header names, and appends their samples to OUT. Each
stream's part of OUT begins with a tenth of a second of silence, as a card is silent between
two streams. OUT exists once the FIFO is ready.

A card takes one buffer ahead of what it plays, and no more; the `file` device keeps that
buffer itself before it writes to the FIFO. So the FIFO is held open from here for the whole
session at one page, and a stream is read only as its time comes, starting one page late: the
player stays about one buffer ahead of the card, as with a card. (One difference remains: `null`
never makes the player wait, so it may hand over its next segment before it has filled it;
check_sound_routes.py's CARD_SETTLED_S.)

    card_pacer.py FIFO OUT
"""
import fcntl
import os
import struct
import sys
import time

F_SETPIPE_SZ = 1031
PIPE_BYTES = 4096
# Sound is taken in steps of this many bytes at most ahead of its time.
STEP_BYTES = 512
# How far the card's clock may fall behind before it waits for the writer, as a card that ran
# dry does: a writer that paused must not then write as fast as it likes.
SLACK_S = 0.02
# What every stream begins with, WAV's RIFF header: "RIFF", a size, "WAVE", "fmt ".
SIGNATURE = b"WAVEfmt "


def parse_header(data):
    """The frame size and byte rate of a WAV header at the start of `data` and the offset of its
    samples; None while the header is not complete."""
    offset, frame_bytes, byte_rate = 12, None, None
    while offset + 8 <= len(data):
        chunk, size = struct.unpack_from("<4sI", data, offset)
        if chunk == b"data":
            return frame_bytes, byte_rate, offset + 8
        if offset + 8 + size > len(data):
            return None
        if chunk == b"fmt ":
            _, _, _, byte_rate, frame_bytes = struct.unpack_from("<HHIIH", data, offset + 8)
        offset += 8 + size + (size & 1)
    return None


def main():
    fifo, out = sys.argv[1:3]
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    os.open(fifo, os.O_WRONLY)  # held open, so that the pipe lives on between two streams
    fcntl.fcntl(reader, F_SETPIPE_SZ, PIPE_BYTES)
    os.set_blocking(reader, True)
    sink = open(out, "wb", buffering=0)
    pending, byte_rate, started, taken = b"", None, None, 0
    while True:
        limit = PIPE_BYTES if byte_rate is None else STEP_BYTES
        if started is not None:
            behind = time.monotonic() - started - taken / byte_rate
            if behind > SLACK_S:
                started += behind - SLACK_S
                behind = SLACK_S
            due = int(behind * byte_rate)
            if due < STEP_BYTES:
                time.sleep((STEP_BYTES - due) / byte_rate)
                continue
            limit = due
        pending += os.read(reader, limit)
        while True:
            if pending[8:16] == SIGNATURE and pending.startswith(b"RIFF"):
                header = parse_header(pending)
                if header is None:
                    break  # the rest of the header is still to come
                frame_bytes, byte_rate, offset = header
                pending = pending[offset:]
                sink.write(bytes(frame_bytes * (byte_rate // frame_bytes // 10)))
                started, taken = None, 0
                continue
            # Up to the next stream's header, or all but what could be the start of one.
            start = pending.find(SIGNATURE)
            cut = start - 8 if start >= 8 else max(0, len(pending) - 16)
            samples, pending = pending[:cut], pending[cut:]
            if byte_rate:
                sink.write(samples)
                taken += len(samples)
            if start < 8:
                break
        if started is None and taken:
            # The stream's first sound: its clock starts once the page now in the pipe is due.
            started = time.monotonic() + PIPE_BYTES / byte_rate


if __name__ == "__main__":
    sys.exit(main())
