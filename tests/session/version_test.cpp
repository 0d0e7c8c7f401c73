#include "session/version.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <cstring>
#include <fstream>
#include <vector>

#include "tests/support/temp_folder.h"

namespace {

std::string VersionOf(const std::string &file) {
  std::string text = "stale";
  GetVersion(file, text);
  return text;
}

void WriteFile(const std::string &name, const std::vector<char> &bytes) {
  std::ofstream out(name, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A small ELF file of this machine's byte order with a section-name table and one more section.
struct ElfLayout {
  std::string sectionName = "tolvane_version";
  std::uint32_t sectionType = SHT_PROGBITS;
  std::string magic = "TLVVER01";
  std::uint32_t ms = 0, ls = 0;
  std::size_t recordSize = 16;
  std::uint16_t namesIndexDelta = 0;  // added to the real index of the name table
};

template <class Ehdr, class Shdr>
std::vector<char> BuildElf(const ElfLayout &layout, unsigned char elfClass) {
  std::string names("\0.shstrtab\0", 11);
  const auto nameAt = names.size();
  names += layout.sectionName;
  names.push_back('\0');

  std::vector<char> record(layout.recordSize);
  std::vector<char> full(16);
  std::memcpy(full.data(), layout.magic.data(), std::min<std::size_t>(8, layout.magic.size()));
  std::memcpy(full.data() + 8, &layout.ms, 4);
  std::memcpy(full.data() + 12, &layout.ls, 4);
  std::memcpy(record.data(), full.data(), std::min(record.size(), full.size()));

  const std::size_t namesOffset = sizeof(Ehdr);
  const std::size_t recordOffset = namesOffset + names.size();
  const std::size_t headersOffset = recordOffset + record.size();

  Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = elfClass;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_EXEC;
  header.e_version = EV_CURRENT;
  header.e_ehsize = sizeof(Ehdr);
  header.e_shoff = headersOffset;
  header.e_shentsize = sizeof(Shdr);
  header.e_shnum = 3;
  header.e_shstrndx = static_cast<std::uint16_t>(1 + layout.namesIndexDelta);

  Shdr sections[3]{};
  sections[1].sh_name = 1;
  sections[1].sh_type = SHT_STRTAB;
  sections[1].sh_offset = namesOffset;
  sections[1].sh_size = names.size();
  sections[2].sh_name = static_cast<std::uint32_t>(nameAt);
  sections[2].sh_type = layout.sectionType;
  sections[2].sh_offset = recordOffset;
  sections[2].sh_size = record.size();

  std::vector<char> bytes(headersOffset + sizeof sections);
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + namesOffset, names.data(), names.size());
  std::memcpy(bytes.data() + recordOffset, record.data(), record.size());
  std::memcpy(bytes.data() + headersOffset, sections, sizeof sections);
  return bytes;
}

std::vector<char> Elf64(const ElfLayout &layout) {
  return BuildElf<Elf64_Ehdr, Elf64_Shdr>(layout, ELFCLASS64);
}

std::string ProgramFile() {
  return QCoreApplication::applicationFilePath().toStdString();
}

}  // namespace

TEST(Version, TheBuildPutsTheProjectVersionIntoTheExecutable) {
  EXPECT_EQ(VersionOf(ProgramFile()), "5.00.00.04");
}

TEST(Version, LayoutHasTwoDigitsInTheLastThreeFieldsAndAsManyAsNeededInTheFirst) {
  EXPECT_EQ(FormatVersion(0x00050000u, 0x00000004u), "5.00.00.04");
  EXPECT_EQ(FormatVersion(0x007B002Du, 0x00060007u), "123.45.06.07");
  EXPECT_EQ(FormatVersion(0xFFFFFFFFu, 0xFFFFFFFFu), "65535.65535.65535.65535");
  EXPECT_EQ(FormatVersion(0, 0), "0.00.00.00");
}

TEST(Version, ReadsTheRecordOfBothElfClassesWordByWord) {
  TempFolder folder;
  ElfLayout layout;
  layout.ms = (1u << 16) | 2u;
  layout.ls = (3u << 16) | 4u;
  WriteFile(folder.File("v64"), Elf64(layout));
  EXPECT_EQ(VersionOf(folder.File("v64")), "1.02.03.04");
  layout.ms = (10u << 16) | 20u;
  layout.ls = (30u << 16) | 40u;
  WriteFile(folder.File("v32"), BuildElf<Elf32_Ehdr, Elf32_Shdr>(layout, ELFCLASS32));
  EXPECT_EQ(VersionOf(folder.File("v32")), "10.20.30.40");
}

TEST(Version, EmptyWithoutAValidRecordInTheNamedSection) {
  TempFolder folder;
  auto check = [&](const std::string &what, const ElfLayout &layout) {
    WriteFile(folder.File("f"), Elf64(layout));
    EXPECT_EQ(VersionOf(folder.File("f")), "") << what;
  };
  ElfLayout good;
  good.ms = 0x00050000u;
  good.ls = 4u;
  check("another section name", [&] {
    ElfLayout s = good;
    s.sectionName = "tolvane_versions";
    return s;
  }());
  check("wrong magic", [&] {
    ElfLayout s = good;
    s.magic = "TLVVER02";
    return s;
  }());
  check("record cut short", [&] {
    ElfLayout s = good;
    s.recordSize = 12;
    return s;
  }());
  check("section without contents", [&] {
    ElfLayout s = good;
    s.sectionType = SHT_NOBITS;
    return s;
  }());
  check("name table index out of range", [&] {
    ElfLayout s = good;
    s.namesIndexDelta = 5;
    return s;
  }());
  check("name table index naming the record", [&] {
    ElfLayout s = good;
    s.namesIndexDelta = 1;
    return s;
  }());
  WriteFile(folder.File("f"), Elf64(good));
  EXPECT_EQ(VersionOf(folder.File("f")), "5.00.00.04") << "the same file with a valid record";
}

TEST(Version, EmptyForFilesThatAreNoReadableElf) {
  TempFolder folder;
  EXPECT_EQ(VersionOf(folder.File("absent")), "");
  WriteFile(folder.File("text"), {'T', 'L', 'V', 'V', 'E', 'R', '0', '1', 0, 0, 5, 0, 4, 0, 0, 0});
  EXPECT_EQ(VersionOf(folder.File("text")), "");
  WriteFile(folder.File("empty"), {});
  EXPECT_EQ(VersionOf(folder.File("empty")), "");
  EXPECT_EQ(VersionOf(folder.Folder()), "") << "a folder";

  ElfLayout layout;
  layout.ms = 0x00050000u;
  auto bytes = Elf64(layout);
  for (std::size_t keep : {std::size_t{8}, sizeof(Elf64_Ehdr), bytes.size() - 1}) {
    WriteFile(folder.File("cut"), std::vector<char>(bytes.begin(), bytes.begin() + keep));
    EXPECT_EQ(VersionOf(folder.File("cut")), "") << "cut to " << keep << " bytes";
  }
  bytes[EI_DATA] = ELFDATA2MSB;
  WriteFile(folder.File("big"), bytes);
  EXPECT_EQ(VersionOf(folder.File("big")), "") << "another byte order";
}

TEST(Version, TheRecordIsFoundByItsSectionNotByItsBytes) {
  // A copy of this executable whose record section is renamed still holds the record's bytes.
  QFile self(QString::fromStdString(ProgramFile()));
  ASSERT_TRUE(self.open(QIODevice::ReadOnly));
  QByteArray bytes = self.readAll();
  ASSERT_TRUE(bytes.contains("TLVVER01"));
  TempFolder folder;
  WriteFile(folder.File("same"), std::vector<char>(bytes.begin(), bytes.end()));
  EXPECT_EQ(VersionOf(folder.File("same")), "5.00.00.04");

  const QByteArray name("tolvane_version\0", 16);
  ASSERT_TRUE(bytes.contains(name));
  bytes.replace(name, QByteArray("tolvane_versioX\0", 16));
  ASSERT_TRUE(bytes.contains("TLVVER01"));
  WriteFile(folder.File("renamed"), std::vector<char>(bytes.begin(), bytes.end()));
  EXPECT_EQ(VersionOf(folder.File("renamed")), "");
}
