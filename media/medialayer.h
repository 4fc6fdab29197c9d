#pragma once

#include <QString>

#include "media/playbackgraph.h"

// The media library (the playback graph over GStreamer) is loaded from the program's folder when
// the first file is opened, not with the program: linked in, GStreamer's libraries and theirs
// kept the window from appearing for several milliseconds at every start.
namespace MediaLayer {

// The library's path from the folder of the program's executable.
inline constexpr const char* LibraryPath = "media/libpitchwarden-media.so";

// A new playback graph; null when the library cannot be loaded, with the loader's reason in
// `why`.
PlaybackGraph::Ptr createGraph(QString* why = nullptr);

} // namespace MediaLayer
