#include "media/videooutput.h"

#include <QByteArray>

void VideoOutput::ObjectUnref::operator()(gpointer object) const
{
    gst_object_unref(object);
}

void VideoOutput::attachTo(GstElement* playbin)
{
    m_playbin.reset(GST_ELEMENT(gst_object_ref(playbin)));
    const QByteArray description = qgetenv("PITCHWARDEN_VIDEO_SINK");
    if (description.isEmpty())
        return;
    GError* error = nullptr;
    GstElement* sink = gst_parse_bin_from_description(description.constData(), TRUE, &error);
    if (error)
        g_error_free(error);
    if (sink)
        g_object_set(playbin, "video-sink", sink, nullptr);
}

// The overlay is the sink itself or, for a bin such as autovideosink, the child it picked once
// the graph has been built.
VideoOutput::OverlayPtr VideoOutput::overlay() const
{
    if (!m_playbin)
        return nullptr;
    GstElement* found = nullptr;
    g_object_get(m_playbin.get(), "video-sink", &found, nullptr);
    if (!found)
        return nullptr;
    const ElementPtr sink(found);
    if (GST_IS_VIDEO_OVERLAY(sink.get()))
        return OverlayPtr(GST_VIDEO_OVERLAY(gst_object_ref(sink.get())));
    if (!GST_IS_BIN(sink.get()))
        return nullptr;
    GstElement* child = gst_bin_get_by_interface(GST_BIN(sink.get()), GST_TYPE_VIDEO_OVERLAY);
    return OverlayPtr(child ? GST_VIDEO_OVERLAY(child) : nullptr);
}

// X11 has no window styles: any style is taken. The rectangle is relative to the owner window;
// while it has no area yet (the width or height still 0, as before both are written) the sink
// keeps filling its whole window. Owner 0 gives the sink a window of its own again (handles are
// X11 window ids, which fit in 32 bits unsigned). The overlay can redraw the video but has no
// way to hide it: only showing succeeds.
bool VideoOutput::set(PlaybackGraph::VideoWindow setting, qint32 value)
{
    using Setting = PlaybackGraph::VideoWindow;
    const OverlayPtr target = overlay();
    if (!target)
        return false;
    switch (setting) {
    case Setting::Style:
        return true;
    case Setting::Owner:
        gst_video_overlay_set_window_handle(target.get(),
                                            static_cast<guintptr>(static_cast<quint32>(value)));
        return true;
    case Setting::Visible:
        if (value)
            gst_video_overlay_expose(target.get());
        return value != 0;
    case Setting::Top:
        m_top = value;
        break;
    case Setting::Left:
        m_left = value;
        break;
    case Setting::Width:
        m_width = value;
        break;
    case Setting::Height:
        m_height = value;
        break;
    }
    return m_width <= 0 || m_height <= 0 ||
           gst_video_overlay_set_render_rectangle(target.get(), m_left, m_top, m_width, m_height);
}
