#pragma once

#include <mutex>

#include <QRect>

#include <gst/gst.h>
#include <gst/video/gstvideosink.h>
#include <gst/video/videooverlay.h>

// A video sink that draws nothing and records what it is told through GstVideoOverlay, so that
// tests can check the placement of the video without a display. Register it once with
// RecordingVideoSink::registerElement(); it is then made by the name "recordingvideosink".
class RecordingVideoSink
{
public:
    struct Record
    {
        int capsSeen = 0; // formats negotiated: the sink got video
        int handleCalls = 0;
        guintptr handle = 0;
        int rectangleCalls = 0;
        QRect rectangle;
        int exposes = 0;
    };

    static bool registerElement()
    {
        return gst_element_register(nullptr, "recordingvideosink", GST_RANK_NONE, type());
    }

    static Record take()
    {
        std::lock_guard lock(mutex());
        const Record copy = record();
        record() = Record();
        return copy;
    }

private:
    struct Instance
    {
        GstVideoSink parent;
    };
    struct Class
    {
        GstVideoSinkClass parent;
    };

    static std::mutex& mutex()
    {
        static std::mutex instance;
        return instance;
    }

    static Record& record()
    {
        static Record instance;
        return instance;
    }

    template <typename Change> static void note(Change change)
    {
        std::lock_guard lock(mutex());
        change(record());
    }

    static GType type()
    {
        static const GType registered = [] {
            const GTypeInfo info = {
                sizeof(Class),    nullptr,
                nullptr,          [](gpointer klass, gpointer) { classInit(klass); },
                nullptr,          nullptr,
                sizeof(Instance), 0,
                nullptr,          nullptr};
            const GType id = g_type_register_static(GST_TYPE_VIDEO_SINK, "RecordingVideoSink",
                                                    &info, GTypeFlags(0));
            const GInterfaceInfo overlay = {[](gpointer iface, gpointer) { overlayInit(iface); },
                                            nullptr, nullptr};
            g_type_add_interface_static(id, GST_TYPE_VIDEO_OVERLAY, &overlay);
            return id;
        }();
        return registered;
    }

    static void classInit(gpointer klass)
    {
        auto* element = GST_ELEMENT_CLASS(klass);
        gst_element_class_set_static_metadata(element, "Recording video sink", "Sink/Video",
                                              "Records overlay calls", "tests");
        static GstStaticPadTemplate sink = GST_STATIC_PAD_TEMPLATE(
            "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));
        gst_element_class_add_static_pad_template(element, &sink);
        auto* video = reinterpret_cast<GstVideoSinkClass*>(klass);
        video->show_frame = [](GstVideoSink*, GstBuffer*) { return GST_FLOW_OK; };
        video->set_info = [](GstVideoSink* self, GstCaps*, const GstVideoInfo*) {
            note([](Record& r) { ++r.capsSeen; });
            // Real sinks ask the application for a window here, before they open their own.
            gst_video_overlay_prepare_window_handle(GST_VIDEO_OVERLAY(self));
            return gboolean(TRUE);
        };
    }

    static void overlayInit(gpointer iface)
    {
        auto* overlay = static_cast<GstVideoOverlayInterface*>(iface);
        overlay->set_window_handle = [](GstVideoOverlay*, guintptr handle) {
            note([handle](Record& r) {
                ++r.handleCalls;
                r.handle = handle;
            });
        };
        overlay->set_render_rectangle = [](GstVideoOverlay*, gint x, gint y, gint w, gint h) {
            note([=](Record& r) {
                ++r.rectangleCalls;
                r.rectangle = QRect(x, y, w, h);
            });
        };
        overlay->expose = [](GstVideoOverlay*) { note([](Record& r) { ++r.exposes; }); };
    }
};
