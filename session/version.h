// The program's version: the record that the build places in the executable's own section
// "tolvane_version" (magic "TLVVER01", then the product version as two 32-bit halves).
#pragma once

#include <cstdint>
#include <string>

// The version text of the named executable, "%d.%02d.%02d.%02d" from the four 16-bit words of
// its version record, most significant first. `text` is emptied first and stays empty when the
// file cannot be read, is no ELF file of this machine's byte order, or has no valid record.
void GetVersion(const std::string &fileName, std::string &text);

// The version text of a product version given as its more and less significant halves.
std::string FormatVersion(std::uint32_t mostSignificant, std::uint32_t leastSignificant);
