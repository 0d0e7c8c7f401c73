// A firmware file as both programs take it: the name rule, the reading of its text as the
// window's file view has it, and the refusal of a file that must not be sent.
#pragma once

#include <QByteArray>
#include <QString>
#include <string>
#include <string_view>

namespace firmware {

// The extension of a file name: what follows its last ".", without the blanks and control
// characters around it, in upper case; the whole name when it has no ".".
QString FileExtension(const QString &fileName);
// A firmware file's name: 8 characters at least, ending in ".HEX" in any case.
bool AcceptableFirmwareName(const QString &fileName);

struct FirmwareText {
  QByteArray text;  // the file's lines joined by CR LF
  int lines = 0;
  QString error;  // "Cannot open file ...: ...", "Cannot read file ...: ..."; empty when read
};
// Reads the file's lines, each ending at CR LF, LF or CR.
FirmwareText ReadFirmwareFile(const QString &fileName);

// "<file>: no record at byte address 0x3000 or above: ...": an image without its end line.
std::string NoEndLineText(std::string_view fileName);
// Why the text of the file `fileName` must not be sent: a damaged record (the fault CheckHexText
// finds), or an image that has lines but no end line, which would leave the unit in its loader;
// empty when it may. A text without any firmware line is left to the download, which says so.
std::string Refusal(std::string_view fileName, std::string_view text);

}  // namespace firmware
