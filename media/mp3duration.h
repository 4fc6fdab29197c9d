#pragma once

#include <optional>

#include <QString>

// The playing time of an MPEG audio file, counted from its frame headers. GStreamer knows the
// duration of a file without an Info header only some way into playback; this knows it at once.
std::optional<double> Mp3Duration(const QString& path);
