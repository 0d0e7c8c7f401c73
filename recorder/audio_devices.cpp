#include "recorder/audio_devices.h"

// Not listed yet.
std::vector<std::string> ListAudioOutputs() {
  return {};
}
