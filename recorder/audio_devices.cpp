#include "recorder/audio_devices.h"

#include <gst/gst.h>

#include <mutex>

namespace {

// The devices of class "Audio/Sink", in the monitor's order; each entry holds a reference.
class SinkDevices {
 public:
  SinkDevices() {
    if (!StartGStreamer()) return;
    monitor_ = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor_, "Audio/Sink", nullptr);
    if (!gst_device_monitor_start(monitor_)) return;
    started_ = true;
    devices_ = gst_device_monitor_get_devices(monitor_);
  }
  ~SinkDevices() {
    g_list_free_full(devices_, gst_object_unref);
    if (started_) gst_device_monitor_stop(monitor_);
    if (monitor_ != nullptr) gst_object_unref(monitor_);
  }
  SinkDevices(const SinkDevices &) = delete;
  SinkDevices &operator=(const SinkDevices &) = delete;

  template <typename Visit>
  void ForEach(Visit visit) const {
    for (GList *item = devices_; item != nullptr; item = item->next) {
      GstDevice *device = GST_DEVICE(item->data);
      gchar *name = gst_device_get_display_name(device);
      const std::string text = name != nullptr ? name : "";
      g_free(name);
      if (!visit(device, text)) return;
    }
  }

 private:
  GstDeviceMonitor *monitor_ = nullptr;
  bool started_ = false;
  GList *devices_ = nullptr;
};

}  // namespace

bool StartGStreamer(std::string *error) {
  static std::once_flag once;
  static bool started = false;
  static std::string reason;
  std::call_once(once, [] {
    GError *failure = nullptr;
    started = gst_init_check(nullptr, nullptr, &failure);
    if (!started) {
      reason = failure != nullptr ? failure->message : "GStreamer could not be initialised";
      g_clear_error(&failure);
    }
  });
  if (!started && error != nullptr) *error = reason;
  return started;
}

std::vector<std::string> ListAudioOutputs() {
  std::vector<std::string> names;
  SinkDevices devices;
  devices.ForEach([&](GstDevice *, const std::string &name) {
    names.push_back(name);
    return true;
  });
  return names;
}

GstElement *MakeListedAudioOutput(const std::vector<std::string> &list, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return nullptr;
  const std::string &wanted = list[static_cast<std::size_t>(index)];
  GstElement *sink = nullptr;
  SinkDevices devices;
  devices.ForEach([&](GstDevice *device, const std::string &name) {
    if (name != wanted) return true;
    sink = gst_device_create_element(device, nullptr);
    return false;
  });
  return sink;
}

GstElement *MakeDefaultAudioOutput() {
  if (!StartGStreamer()) return nullptr;
  GstElement *sink = gst_element_factory_make("pulsesink", nullptr);
  if (sink == nullptr) sink = gst_element_factory_make("autoaudiosink", nullptr);
  return sink;
}
