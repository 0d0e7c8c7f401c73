// The sound output devices that the system offers, by display name.
#pragma once

#include <string>
#include <vector>

// The display names of the audio sinks that GStreamer's device monitor reports ("Audio/Sink"),
// in its order. Empty when there is no sound output.
std::vector<std::string> ListAudioOutputs();
