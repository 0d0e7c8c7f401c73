// The sound output devices that the system offers, by display name, and the GStreamer sink that
// plays on one of them.
#pragma once

#include <string>
#include <vector>

typedef struct _GstElement GstElement;

// Initialises GStreamer for the process on the first call; false (with the reason in `error`)
// when it cannot start. Later calls return the first call's outcome.
bool StartGStreamer(std::string *error = nullptr);

// The display names of the audio sinks that GStreamer's device monitor reports ("Audio/Sink"),
// in its order. Empty when there is no sound output, and also when the listing itself fails
// (the program then starts and simply finds no sound output).
std::vector<std::string> ListAudioOutputs();

// A new (floating) sink element for the entry at `index` of `list`, a list made by
// ListAudioOutputs: the first device of the monitor, in its order, whose display name equals the
// entry exactly. Null when `index` lies outside the list or no such device is there any more; the
// caller then plays on the system's default output.
GstElement *MakeListedAudioOutput(const std::vector<std::string> &list, int index);

// A new (floating) sink element for the system's default output: PulseAudio's default sink, or
// whatever autoaudiosink finds where PulseAudio's plugin is missing. Null when neither exists.
GstElement *MakeDefaultAudioOutput();
