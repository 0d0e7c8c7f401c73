// GStreamer, loaded at the first call of one of its functions rather than with the program. It and
// the libraries it brings (GObject, its base, audio and tag libraries, ORC, libdw, libunwind: some
// 11) would otherwise be loaded and relocated before the main window's first paint, which needs
// none of them: the sound outputs are first listed after it, on a thread of their own. Each
// function of GStreamer and GObject that this folder calls is defined here and calls GStreamer's
// own, found once; when GStreamer cannot be loaded, its start fails with the loader's reason.
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <cstdarg>
#include <string>

#include "util/late_library.h"

namespace {

// The names that the libraries are installed under (their sonames): the audio library brings
// GStreamer's core and GObject with it.
constexpr char kLibrary[] = "libgstaudio-1.0.so.0";

const LateLibrary &Loaded() {
  // Global, as if linked: GStreamer's plugins find its symbols as they always do.
  static const LateLibrary library(kLibrary, RTLD_NOW | RTLD_GLOBAL);
  return library;
}

void *Symbol(const char *name) {
  return Loaded().Symbol(name);
}

}  // namespace

// `name` with `params`, calling GStreamer's own with `args`; nothing (zero, null) where there is
// none.
#define FORWARD(result, name, params, args)                                    \
  extern "C" result name params {                                              \
    using Result = result;                                                     \
    static const auto real = reinterpret_cast<decltype(&name)>(Symbol(#name)); \
    if (!real) return Result();                                                \
    return real args;                                                          \
  }

// GStreamer's start says why it could not start when GStreamer is missing.
extern "C" gboolean gst_init_check(int *argc, char **argv[], GError **error) {
  static const auto real = reinterpret_cast<decltype(&gst_init_check)>(Symbol("gst_init_check"));
  if (real) return real(argc, argv, error);
  g_set_error_literal(error, g_quark_from_static_string("tolvane-gstreamer"), 0,
                      Loaded().Error().c_str());
  return FALSE;
}

// Those of a variable list of arguments, through their forms that take the list.
extern "C" void g_object_set(gpointer object, const gchar *first_property_name, ...) {
  static const auto real =
      reinterpret_cast<decltype(&g_object_set_valist)>(Symbol("g_object_set_valist"));
  if (!real) return;
  va_list values;
  va_start(values, first_property_name);
  real(static_cast<GObject *>(object), first_property_name, values);
  va_end(values);
}

extern "C" void g_object_get(gpointer object, const gchar *first_property_name, ...) {
  static const auto real =
      reinterpret_cast<decltype(&g_object_get_valist)>(Symbol("g_object_get_valist"));
  if (!real) return;
  va_list values;
  va_start(values, first_property_name);
  real(static_cast<GObject *>(object), first_property_name, values);
  va_end(values);
}

// Links each element to the next up to the null that ends the list, as GStreamer's own does.
extern "C" gboolean gst_element_link_many(GstElement *element_1, GstElement *element_2, ...) {
  static const auto link =
      reinterpret_cast<decltype(&gst_element_link)>(Symbol("gst_element_link"));
  if (!link) return FALSE;
  va_list elements;
  va_start(elements, element_2);
  gboolean linked = TRUE;
  for (GstElement *from = element_1, *to = element_2; to != nullptr && linked;
       from = to, to = va_arg(elements, GstElement *))
    linked = link(from, to);
  va_end(elements);
  return linked;
}

FORWARD(GParamSpec *, g_object_class_find_property,
        (GObjectClass * oclass, const gchar *property_name), (oclass, property_name))
FORWARD(gulong, g_signal_connect_data,
        (gpointer instance, const gchar *detailed_signal, GCallback c_handler, gpointer data,
         GClosureNotify destroy_data, GConnectFlags connect_flags),
        (instance, detailed_signal, c_handler, data, destroy_data, connect_flags))
FORWARD(guint, g_signal_handlers_disconnect_matched,
        (gpointer instance, GSignalMatchType mask, guint signal_id, GQuark detail,
         GClosure *closure, gpointer func, gpointer data),
        (instance, mask, signal_id, detail, closure, func, data))
FORWARD(GTypeInstance *, g_type_check_instance_cast, (GTypeInstance * instance, GType iface_type),
        (instance, iface_type))
FORWARD(gboolean, g_type_check_instance_is_a, (GTypeInstance * instance, GType iface_type),
        (instance, iface_type))
FORWARD(GType, gst_audio_base_sink_get_type, (void), ())
FORWARD(gboolean, gst_audio_info_from_caps, (GstAudioInfo * info, const GstCaps *caps),
        (info, caps))
FORWARD(guint, gst_audio_ring_buffer_delay, (GstAudioRingBuffer * buf), (buf))
FORWARD(gboolean, gst_audio_ring_buffer_is_acquired, (GstAudioRingBuffer * buf), (buf))
FORWARD(guint64, gst_audio_ring_buffer_samples_done, (GstAudioRingBuffer * buf), (buf))
FORWARD(gboolean, gst_bin_add, (GstBin * bin, GstElement *element), (bin, element))
FORWARD(GstElement *, gst_bin_get_by_name, (GstBin * bin, const gchar *name), (bin, name))
FORWARD(GType, gst_bin_get_type, (void), ())
FORWARD(GstElement *, gst_bin_new, (const gchar *name), (name))
FORWARD(GstBuffer *, gst_buffer_list_get, (GstBufferList * list, guint idx), (list, idx))
FORWARD(guint, gst_buffer_list_length, (GstBufferList * list), (list))
FORWARD(gboolean, gst_buffer_map, (GstBuffer * buffer, GstMapInfo *info, GstMapFlags flags),
        (buffer, info, flags))
FORWARD(void, gst_buffer_unmap, (GstBuffer * buffer, GstMapInfo *info), (buffer, info))
FORWARD(void, gst_bus_get_pollfd, (GstBus * bus, GPollFD *fd), (bus, fd))
FORWARD(GstMessage *, gst_bus_pop, (GstBus * bus), (bus))
FORWARD(void, gst_bus_set_flushing, (GstBus * bus, gboolean flushing), (bus, flushing))
FORWARD(void, gst_bus_set_sync_handler,
        (GstBus * bus, GstBusSyncHandler func, gpointer user_data, GDestroyNotify notify),
        (bus, func, user_data, notify))
FORWARD(GstCaps *, gst_caps_from_string, (const gchar *string), (string))
FORWARD(guint, gst_caps_get_size, (const GstCaps *caps), (caps))
FORWARD(GstStructure *, gst_caps_get_structure, (const GstCaps *caps, guint index), (caps, index))
FORWARD(GstClockTime, gst_clock_get_time, (GstClock * clock), (clock))
FORWARD(GQuark, gst_core_error_quark, (void), ())
FORWARD(GstElement *, gst_device_create_element, (GstDevice * device, const gchar *name),
        (device, name))
FORWARD(gchar *, gst_device_get_display_name, (GstDevice * device), (device))
FORWARD(GType, gst_device_get_type, (void), ())
FORWARD(guint, gst_device_monitor_add_filter,
        (GstDeviceMonitor * monitor, const gchar *classes, GstCaps *caps), (monitor, classes, caps))
FORWARD(GList *, gst_device_monitor_get_devices, (GstDeviceMonitor * monitor), (monitor))
FORWARD(GstDeviceMonitor *, gst_device_monitor_new, (void), ())
FORWARD(gboolean, gst_device_monitor_start, (GstDeviceMonitor * monitor), (monitor))
FORWARD(void, gst_device_monitor_stop, (GstDeviceMonitor * monitor), (monitor))
FORWARD(gboolean, gst_element_add_pad, (GstElement * element, GstPad *pad), (element, pad))
FORWARD(const gchar *, gst_element_factory_get_metadata,
        (GstElementFactory * factory, const gchar *key), (factory, key))
FORWARD(GstElement *, gst_element_factory_make, (const gchar *factoryname, const gchar *name),
        (factoryname, name))
FORWARD(GstClockTime, gst_element_get_base_time, (GstElement * element), (element))
FORWARD(GstClock *, gst_element_get_clock, (GstElement * element), (element))
FORWARD(GstStateChangeReturn, gst_element_get_state,
        (GstElement * element, GstState *state, GstState *pending, GstClockTime timeout),
        (element, state, pending, timeout))
FORWARD(GstPad *, gst_element_get_static_pad, (GstElement * element, const gchar *name),
        (element, name))
FORWARD(GType, gst_element_get_type, (void), ())
FORWARD(gboolean, gst_element_query, (GstElement * element, GstQuery *query), (element, query))
FORWARD(gboolean, gst_element_query_duration,
        (GstElement * element, GstFormat format, gint64 *duration), (element, format, duration))
FORWARD(gboolean, gst_element_send_event, (GstElement * element, GstEvent *event), (element, event))
FORWARD(GstStateChangeReturn, gst_element_set_state, (GstElement * element, GstState state),
        (element, state))
FORWARD(gboolean, gst_element_sync_state_with_parent, (GstElement * element), (element))
FORWARD(guint32, gst_event_get_seqnum, (GstEvent * event), (event))
FORWARD(GstEvent *, gst_event_new_seek,
        (gdouble rate, GstFormat format, GstSeekFlags flags, GstSeekType start_type, gint64 start,
         GstSeekType stop_type, gint64 stop),
        (rate, format, flags, start_type, start, stop_type, stop))
FORWARD(void, gst_event_parse_segment, (GstEvent * event, const GstSegment **segment),
        (event, segment))
FORWARD(gchar *, gst_filename_to_uri, (const gchar *filename, GError **error), (filename, error))
FORWARD(GstPad *, gst_ghost_pad_new, (const gchar *name, GstPad *target), (name, target))
FORWARD(guint32, gst_message_get_seqnum, (GstMessage * message), (message))
FORWARD(void, gst_message_parse_error, (GstMessage * message, GError **gerror, gchar **debug),
        (message, gerror, debug))
FORWARD(void, gst_mini_object_unref, (GstMiniObject * mini_object), (mini_object))
FORWARD(GType, gst_object_get_type, (void), ())
FORWARD(gboolean, gst_object_has_as_ancestor, (GstObject * object, GstObject *ancestor),
        (object, ancestor))
FORWARD(gpointer, gst_object_ref_sink, (gpointer object), (object))
FORWARD(void, gst_object_unref, (gpointer object), (object))
FORWARD(gulong, gst_pad_add_probe,
        (GstPad * pad, GstPadProbeType mask, GstPadProbeCallback callback, gpointer user_data,
         GDestroyNotify destroy_data),
        (pad, mask, callback, user_data, destroy_data))
FORWARD(GstCaps *, gst_pad_get_current_caps, (GstPad * pad), (pad))
FORWARD(gboolean, gst_pad_is_linked, (GstPad * pad), (pad))
FORWARD(GstPadLinkReturn, gst_pad_link, (GstPad * srcpad, GstPad *sinkpad), (srcpad, sinkpad))
FORWARD(GstCaps *, gst_pad_query_caps, (GstPad * pad, GstCaps *filter), (pad, filter))
FORWARD(void, gst_pad_remove_probe, (GstPad * pad, gulong id), (pad, id))
FORWARD(GstBus *, gst_pipeline_get_bus, (GstPipeline * pipeline), (pipeline))
FORWARD(GstClockTime, gst_pipeline_get_latency, (GstPipeline * pipeline), (pipeline))
FORWARD(GType, gst_pipeline_get_type, (void), ())
FORWARD(GstElement *, gst_pipeline_new, (const gchar *name), (name))
FORWARD(GstQuery *, gst_query_new_seeking, (GstFormat format), (format))
FORWARD(void, gst_query_parse_seeking,
        (GstQuery * query, GstFormat *format, gboolean *seekable, gint64 *segment_start,
         gint64 *segment_end),
        (query, format, seekable, segment_start, segment_end))
FORWARD(GQuark, gst_resource_error_quark, (void), ())
FORWARD(void, gst_segment_copy_into, (const GstSegment *src, GstSegment *dest), (src, dest))
FORWARD(void, gst_segment_init, (GstSegment * segment, GstFormat format), (segment, format))
FORWARD(guint64, gst_segment_to_running_time,
        (const GstSegment *segment, GstFormat format, guint64 position),
        (segment, format, position))
FORWARD(guint64, gst_segment_to_stream_time,
        (const GstSegment *segment, GstFormat format, guint64 position),
        (segment, format, position))
FORWARD(GQuark, gst_stream_error_quark, (void), ())
FORWARD(const gchar *, gst_structure_get_name, (const GstStructure *structure), (structure))
FORWARD(guint64, gst_util_uint64_scale, (guint64 val, guint64 num, guint64 denom),
        (val, num, denom))
