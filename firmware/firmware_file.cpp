#include "firmware/firmware_file.h"

#include <QFile>

#include "firmware/hex_check.h"
#include "firmware/image_reader.h"

namespace firmware {

namespace {

bool IsBlankOrControl(QChar c) {
  return c.unicode() <= 0x20;
}

}  // namespace

QString FileExtension(const QString &fileName) {
  const qsizetype dot = fileName.lastIndexOf('.');
  QString extension = dot < 0 ? fileName : fileName.mid(dot + 1);
  qsizetype first = 0, last = extension.size();
  while (first < last && IsBlankOrControl(extension[first])) ++first;
  while (last > first && IsBlankOrControl(extension[last - 1])) --last;
  return extension.mid(first, last - first).toUpper();
}

bool AcceptableFirmwareName(const QString &fileName) {
  return fileName.size() >= 8 && FileExtension(fileName) == "HEX";
}

FirmwareText ReadFirmwareFile(const QString &fileName) {
  FirmwareText read;
  QFile file(fileName);
  if (!file.open(QIODevice::ReadOnly)) {
    read.error = "Cannot open file " + fileName + ": " + file.errorString();
    return read;
  }
  const QByteArray data = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    // What was read no longer matches the file: nothing of it may be downloaded.
    read.error = "Cannot read file " + fileName + ": " + file.errorString();
    return read;
  }
  const std::vector<std::string_view> lines =
      FileLines(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) read.text += "\r\n";
    read.text.append(lines[i].data(), static_cast<qsizetype>(lines[i].size()));
  }
  read.lines = static_cast<int>(lines.size());
  return read;
}

std::string NoEndLineText(std::string_view fileName) {
  return std::string(fileName) +
         ": no record at byte address 0x3000 or above: the image has no end line, and the unit "
         "would stay in its loader";
}

std::string Refusal(std::string_view fileName, std::string_view text) {
  const HexFault fault = CheckHexText(text);
  if (!fault.Sound()) return RefusalText(fileName, fault);
  const Image image = ReadImage(text, text.size());
  if (!image.lines.empty() && !image.HasEndLine()) return NoEndLineText(fileName);
  return {};
}

}  // namespace firmware
