#pragma once

// The program decodes MP3 with mpg123audiodec (GStreamer's "good" plugins): it decodes to float,
// so the full-scale tones reach the output unclipped. Plugin sets a desktop may have installed
// add MP3 decoders of their own (gstreamer1.0-libav's avdec_mp3 ties it in rank and wins by name,
// and decodes to 16 bits), so in this process every other decoder of MPEG audio layer 3 is left
// out of automatic choice, whatever its rank. Without mpg123audiodec nothing changes.
// Call once, after gst_init().
void chooseMp3Decoder();
