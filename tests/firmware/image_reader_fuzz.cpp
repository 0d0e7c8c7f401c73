// libFuzzer target for the image reader and the file check: any text, any stored length, must be
// read only inside the text and keep the image's rules; the check names a line of the text (or
// the one after its last) and passes only files that end with the end-of-file record. Built with
// clang only:
//   cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
//   cmake --build build-fuzz --target image_reader_fuzz
//   build-fuzz/tests/firmware/image_reader_fuzz -max_total_time=60
#include <cstdint>
#include <cstring>
#include <memory>

#include "firmware/hex_check.h"
#include "firmware/image_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes say how far the stored length reaches past the text.
  const std::size_t beyond = data[0] | (data[1] << 8);
  const std::size_t length = size - 2;
  // A buffer of exactly the text's length, so that a read past its end is caught.
  std::unique_ptr<char[]> text(new char[length ? length : 1]);
  if (length) std::memcpy(text.get(), data + 2, length);
  const firmware::Image image =
      firmware::ReadImage(std::string_view(text.get(), length), length + beyond);
  if (image.lines.size() > firmware::kTableLines) __builtin_trap();
  if (image.tooLarge && !image.lines.empty()) __builtin_trap();
  const std::string_view whole(text.get(), length);
  const firmware::HexFault fault = firmware::CheckHexText(whole);
  if (fault.Sound() != fault.reason.empty()) __builtin_trap();
  if (fault.line > firmware::FileLines(whole).size() + 1) __builtin_trap();
  if (fault.Sound() && whole.find(":") == std::string_view::npos) __builtin_trap();
  for (std::size_t i = 0; i < image.lines.size(); ++i) {
    const auto &line = image.lines[i];
    if (line == firmware::kEndLine) {
      if (i + 1 != image.lines.size()) __builtin_trap();
      continue;
    }
    const unsigned word = line[0] | (line[1] << 8);
    if (word < firmware::kFirstWord || word >= firmware::kEndWord) __builtin_trap();
  }
  return 0;
}
