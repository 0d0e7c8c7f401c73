#include "session/version.h"

#include <elf.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

namespace {

constexpr char kSectionName[] = "tolvane_version";
constexpr char kMagic[8] = {'T', 'L', 'V', 'V', 'E', 'R', '0', '1'};
constexpr std::size_t kRecordSize = sizeof kMagic + 2 * sizeof(std::uint32_t);
// A section-name table larger than this is not one the linker wrote.
constexpr std::uint64_t kMaxNameTable = 16u << 20;

// Reads exactly `size` bytes at `offset`, refusing ranges outside the file.
class FileReader {
 public:
  explicit FileReader(const std::string &fileName)
      : file_(fileName, std::ios::binary | std::ios::ate) {
    if (file_) size_ = static_cast<std::uint64_t>(file_.tellg());
  }

  bool Read(std::uint64_t offset, void *out, std::uint64_t size) {
    if (!file_ || offset > size_ || size > size_ - offset) return false;
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(static_cast<char *>(out), static_cast<std::streamsize>(size));
    return static_cast<bool>(file_);
  }

 private:
  std::ifstream file_;
  std::uint64_t size_ = 0;
};

struct Record {
  std::uint32_t ms = 0;
  std::uint32_t ls = 0;
};

// Finds the record's section by name in the section headers and checks its magic.
template <class Ehdr, class Shdr>
bool ReadRecord(FileReader &file, Record &record) {
  Ehdr header;
  if (!file.Read(0, &header, sizeof header)) return false;
  if (header.e_shoff == 0 || header.e_shentsize < sizeof(Shdr)) return false;

  auto sectionHeader = [&](std::uint64_t index, Shdr &out) {
    if (index > std::numeric_limits<std::uint64_t>::max() / header.e_shentsize) return false;
    const std::uint64_t at = index * header.e_shentsize;
    if (at > std::numeric_limits<std::uint64_t>::max() - header.e_shoff) return false;
    return file.Read(header.e_shoff + at, &out, sizeof out);
  };

  // Counts and indices too large for the header live in section 0.
  std::uint64_t count = header.e_shnum;
  std::uint64_t namesIndex = header.e_shstrndx;
  if (count == 0 || namesIndex == SHN_XINDEX) {
    Shdr first;
    if (!sectionHeader(0, first)) return false;
    if (count == 0) count = first.sh_size;
    if (namesIndex == SHN_XINDEX) namesIndex = first.sh_link;
  }
  if (namesIndex == SHN_UNDEF || namesIndex >= count) return false;

  Shdr namesHeader;
  if (!sectionHeader(namesIndex, namesHeader)) return false;
  if (namesHeader.sh_type != SHT_STRTAB || namesHeader.sh_size == 0 ||
      namesHeader.sh_size > kMaxNameTable)
    return false;
  std::vector<char> names(static_cast<std::size_t>(namesHeader.sh_size));
  if (!file.Read(namesHeader.sh_offset, names.data(), names.size())) return false;
  names.back() = '\0';

  for (std::uint64_t i = 1; i < count; ++i) {
    Shdr section;
    if (!sectionHeader(i, section)) return false;
    if (section.sh_name >= names.size()) continue;
    if (std::strcmp(names.data() + section.sh_name, kSectionName) != 0) continue;
    if (section.sh_type == SHT_NOBITS || section.sh_size < kRecordSize) continue;
    unsigned char bytes[kRecordSize];
    if (!file.Read(section.sh_offset, bytes, sizeof bytes)) continue;
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) continue;
    std::memcpy(&record.ms, bytes + sizeof kMagic, sizeof record.ms);
    std::memcpy(&record.ls, bytes + sizeof kMagic + sizeof record.ms, sizeof record.ls);
    return true;
  }
  return false;
}

}  // namespace

std::string FormatVersion(std::uint32_t mostSignificant, std::uint32_t leastSignificant) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d.%02d.%02d", static_cast<int>(mostSignificant >> 16),
                static_cast<int>(mostSignificant & 0xFFFFu),
                static_cast<int>(leastSignificant >> 16),
                static_cast<int>(leastSignificant & 0xFFFFu));
  return text;
}

void GetVersion(const std::string &fileName, std::string &text) {
  text.clear();
  FileReader file(fileName);
  unsigned char ident[EI_NIDENT];
  if (!file.Read(0, ident, sizeof ident)) return;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return;
  // The record is written in the byte order of the machine that built it.
  const unsigned char ownOrder =
      std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (ident[EI_DATA] != ownOrder) return;

  Record record;
  bool found = false;
  if (ident[EI_CLASS] == ELFCLASS64)
    found = ReadRecord<Elf64_Ehdr, Elf64_Shdr>(file, record);
  else if (ident[EI_CLASS] == ELFCLASS32)
    found = ReadRecord<Elf32_Ehdr, Elf32_Shdr>(file, record);
  if (found) text = FormatVersion(record.ms, record.ls);
}
