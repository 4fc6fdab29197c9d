#pragma once

#include <memory>

#include <QtGlobal>

#include <gst/gst.h>
#include <gst/video/videooverlay.h>

#include "media/playbackgraph.h"

// The video end of one playback graph: chooses the video sink and places the video inside an
// owner window through the sink's GstVideoOverlay. Each setting is handed to the overlay at
// once; a setting fails while no sink with an overlay has been built, which is the case for
// audio-only media.
class VideoOutput
{
public:
    // Gives the playbin the video sink that PITCHWARDEN_VIDEO_SINK describes, if any. Otherwise
    // the playbin makes its own sink (autovideosink) when the media has video: audio-only media,
    // the program's only kind, then costs no probing of the display at all.
    void attachTo(GstElement* playbin);

    bool set(PlaybackGraph::VideoWindow setting, qint32 value);

private:
    struct ObjectUnref
    {
        void operator()(gpointer object) const;
    };
    using OverlayPtr = std::unique_ptr<GstVideoOverlay, ObjectUnref>;
    using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;

    OverlayPtr overlay() const;

    ElementPtr m_playbin;
    qint32 m_top = 0;
    qint32 m_left = 0;
    qint32 m_width = 0;
    qint32 m_height = 0;
};
