// The recording knows the player only through its interface (player.h): nothing that
// recording.h brings in declares a GStreamer type. The build stops here if one comes in.
#include "recorder/recording.h"

#if defined(__GST_H__)
#error "recording.h brings in GStreamer"
#endif

// Does not compile where GstElement is declared (e.g. typedef struct _GstElement GstElement).
[[maybe_unused]] static int GstElement = 0;
