#include "recorder/audio_result.h"

#include <cstdio>

namespace {

struct CodeText {
  std::int32_t code;
  const char *text;
};

// The texts that the result check gives for these codes, whatever the platform says.
const CodeText kTableTexts[] = {
    {AudioResult::MS_S_PENDING, "The asynchronous update is pending."},
    {AudioResult::MS_S_NOUPDATE, "Sample was not updated after forced completion."},
    {AudioResult::MS_S_ENDOFSTREAM, "Reached the end of the stream; the sample wasn't updated."},
    {AudioResult::E_NOINTERFACE, "No interface."},
    {AudioResult::E_POINTER, "This method tried to access an invalid pointer."},
    {AudioResult::E_ABORT, "The update aborted."},
    {AudioResult::CLASS_E_NOAGGREGATION, "This class cannot be created as part of an aggregate."},
    {AudioResult::REGDB_E_CLASSNOTREG,
     "A specified class is not registered in the registration database."},
    {AudioResult::MS_E_SAMPLEALLOC,
     "An IMediaStream object could not be removed from an IMultiMediaStream object because it "
     "still contains at least one allocated sample."},
    {AudioResult::MS_E_PURPOSEID, "The specified purpose ID can't be used for the call."},
    {AudioResult::MS_E_NOSTREAM, "No stream can be found with the specified attributes."},
    {AudioResult::MS_E_NOSEEKING, "One or more media streams don't support seeking."},
    {AudioResult::MS_E_INCOMPATIBLE, "The stream formats are not compatible."},
    {AudioResult::MS_E_BUSY, "This sample already has a pending update."},
    {AudioResult::MS_E_NOTINIT,
     "The object can't accept the call because its initialize function or equivalent has not "
     "been called."},
    {AudioResult::MS_E_SOURCEALREADYDEFINED, "Source already defined."},
    {AudioResult::MS_E_INVALIDSTREAMTYPE, "The stream type is not valid for this operation."},
    {AudioResult::MS_E_NOTRUNNING, "The IMultiMediaStream object is not in running state."},
    {AudioResult::E_INVALIDARG, "One of the parameters is invalid."},
};

// The player's own texts for the other codes it uses, where GStreamer gave none.
const CodeText kOwnTexts[] = {
    {AudioResult::E_FAIL, "Unspecified error."},
    {AudioResult::E_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {AudioResult::E_ACCESSDENIED, "Access is denied."},
    {AudioResult::E_TIMEOUT, "The audio output did not reach the requested state in time."},
    {AudioResult::VFW_E_INVALID_FILE_FORMAT, "The file format is invalid."},
    {AudioResult::VFW_E_UNSUPPORTED_STREAM,
     "Cannot play back the file. The format is not supported."},
};

template <std::size_t N>
const char *Lookup(const CodeText (&table)[N], std::int32_t code) {
  for (const CodeText &entry : table)
    if (entry.code == code) return entry.text;
  return nullptr;
}

}  // namespace

std::int32_t CheckResult(std::int32_t code, const std::string &platformText) {
  if (code == AudioResult::S_OK || code == AudioResult::S_FALSE) return code;
  std::string text;
  if (const char *entry = Lookup(kTableTexts, code)) {
    text = entry;
  } else if (!platformText.empty()) {
    text = platformText;
  } else if (const char *own = Lookup(kOwnTexts, code)) {
    text = own;
  } else {
    text = "Unrecognized error value.";
  }
  char digits[16];
  std::snprintf(digits, sizeof digits, "%X", static_cast<std::uint32_t>(code));
  throw EAudioPlayError(std::string("DirectShow call failed: ") + digits + "\r" + text, code);
}
