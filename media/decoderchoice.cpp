#include "media/decoderchoice.h"

#include <gst/gst.h>

namespace {

constexpr const char* Mp3Decoder = "mpg123audiodec";

// Every decoder, of any rank, that takes MPEG audio layer 3 as input.
GList* mp3Decoders()
{
    GList* decoders =
        gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_DECODER, GST_RANK_NONE);
    GstCaps* mp3 = gst_caps_from_string("audio/mpeg, mpegversion=(int)1, layer=(int)3");
    GList* found = gst_element_factory_list_filter(decoders, mp3, GST_PAD_SINK, FALSE);
    gst_caps_unref(mp3);
    gst_plugin_feature_list_free(decoders);
    return found;
}

} // namespace

void chooseMp3Decoder()
{
    GstElementFactory* chosen = gst_element_factory_find(Mp3Decoder);
    if (!chosen)
        return;
    gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(chosen), GST_RANK_PRIMARY + 10);
    GList* decoders = mp3Decoders();
    for (GList* item = decoders; item; item = item->next) {
        auto* feature = GST_PLUGIN_FEATURE(item->data);
        if (feature != GST_PLUGIN_FEATURE(chosen))
            gst_plugin_feature_set_rank(feature, GST_RANK_NONE);
    }
    gst_plugin_feature_list_free(decoders);
    gst_object_unref(chosen);
}
