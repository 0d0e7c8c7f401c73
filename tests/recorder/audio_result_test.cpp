#include "recorder/audio_result.h"

#include <gtest/gtest.h>

namespace {

std::string Message(const EAudioPlayError &error) {
  return error.what();
}

}  // namespace

TEST(CheckResult, SuccessAndFalsePassAndAreReturned) {
  EXPECT_EQ(CheckResult(0), 0);
  EXPECT_EQ(CheckResult(1), 1);
}

TEST(CheckResult, ACodeOfTheTableGivesItsTextAfterACarriageReturn) {
  try {
    CheckResult(AudioResult::REGDB_E_CLASSNOTREG, "ignored: the table's text wins");
    FAIL() << "no error raised";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error),
              "DirectShow call failed: 80040154\r"
              "A specified class is not registered in the registration database.");
    EXPECT_EQ(error.ErrorCode, static_cast<std::int32_t>(0x80040154u));
  }
}

TEST(CheckResult, APositiveCodeOtherThanFalseFailsWithoutLeadingZeros) {
  try {
    CheckResult(0x00040003);
    FAIL() << "no error raised";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error),
              "DirectShow call failed: 40003\r"
              "Reached the end of the stream; the sample wasn't updated.");
    EXPECT_EQ(error.ErrorCode, 0x00040003);
  }
  try {
    CheckResult(2);
    FAIL() << "no error raised";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error), "DirectShow call failed: 2\rUnrecognized error value.");
  }
}

TEST(CheckResult, AnUnknownCodeTakesThePlatformTextOrElseUnrecognized) {
  try {
    CheckResult(static_cast<std::int32_t>(0x8004ABCDu));
    FAIL() << "no error raised";
  } catch (const Exception &error) {  // the general exception type catches it too
    EXPECT_STREQ(error.what(), "DirectShow call failed: 8004ABCD\rUnrecognized error value.");
  }
  try {
    CheckResult(static_cast<std::int32_t>(0x8004ABCDu), "Could not open the file.");
    FAIL() << "no error raised";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error), "DirectShow call failed: 8004ABCD\rCould not open the file.");
  }
}
