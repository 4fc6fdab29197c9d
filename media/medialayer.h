#pragma once

#include <QByteArray>
#include <QString>

#include "media/playbackgraph.h"

// The media library (the playback graph over GStreamer) is loaded from the program's folder when
// the program is idle or the first file is opened, not with the program: linked in, GStreamer's
// libraries and theirs kept the window from appearing for several milliseconds at every start.
namespace MediaLayer {

// The library's path from the folder of the program's executable.
inline constexpr const char* LibraryPath = "media/libpitchwarden-media.so";

// A new playback graph; null when the library cannot be loaded, with the loader's reason in
// `why`.
PlaybackGraph::Ptr createGraph(QString* why = nullptr);

// Loads the library and makes GStreamer, its plugins and the rate converter ready on a thread
// of its own, once per program, so that the first press is as quick as any later one: what a
// press would otherwise do first. `sample` is the head of a recording to preroll.
void warmUp(const QByteArray& sample);

} // namespace MediaLayer
