// The tar stand-in's rules as plain functions: which member names may be
// written below the target and where, and how pax records are read.
#include <gtest/gtest.h>

#include <string>

#include "entry_name.h"
#include "extract_error.h"
#include "tar_reader.h"

namespace tessaline::tar {
namespace {

TEST(RelativeExtractionPath, TurnsMemberNamesIntoWindowsRelativePaths) {
  EXPECT_EQ(RelativeExtractionPath("app/readme.txt"), L"app\\readme.txt");
  EXPECT_EQ(RelativeExtractionPath("./app//nested/./file"), L"app\\nested\\file");
  EXPECT_EQ(RelativeExtractionPath("app/folder/"), L"app\\folder");
  EXPECT_EQ(RelativeExtractionPath("./"), L"");
  EXPECT_EQ(RelativeExtractionPath("app\\windows\\style.txt"), L"app\\windows\\style.txt");
  EXPECT_EQ(RelativeExtractionPath("\xC3\x9C" "ber/\xE5\x90\x8D.txt"), L"\u00DCber\\\u540D.txt");
  EXPECT_EQ(RelativeExtractionPath("\xF0\x9F\x98\x80.txt"), L"\U0001F600.txt");
  // Near misses of the refused forms are ordinary names.
  EXPECT_EQ(RelativeExtractionPath("a..b/.hidden/..name"), L"a..b\\.hidden\\..name");
  EXPECT_EQ(RelativeExtractionPath("console.txt/com10/nul-device/lpt0"), L"console.txt\\com10\\nul-device\\lpt0");
}

TEST(RelativeExtractionPath, RefusesNamesThatLeaveTheTarget) {
  for (const char* name : {"../escape.txt", "..", "a/..", "a/../../b", "a/b/../../../c", "..\\escape.txt",
                           "a\\..\\..\\b", "/abs.txt", "\\abs.txt", "//server/share/x", "C:/x.txt", "c:x.txt",
                           "C:", "a/b:stream"}) {
    EXPECT_THROW(RelativeExtractionPath(name), ExtractError) << name;
  }
}

TEST(RelativeExtractionPath, RefusesNamesWindowsCannotHoldFaithfully) {
  for (const char* name : {"", "CON", "nul.txt", "dir/Com1.log", "lpt9", "aux .txt", "CONOUT$", "name.",
                           "folder./x", "trailing ", "...", "bad\x01name", "a|b", "a*b", "what?", "a<b>",
                           "quote\"d", "\xC3\x28", "\xED\xA0\x80", "\xC0\xAF"}) {
    EXPECT_THROW(RelativeExtractionPath(name), ExtractError) << name;
  }
}

TEST(RelativeExtractionPath, SaysWhyInItsMessage) {
  try {
    RelativeExtractionPath("../escape.txt");
    FAIL();
  } catch (const ExtractError& error) {
    EXPECT_STREQ(error.what(), "refusing entry \"../escape.txt\": it leaves the target folder through \"..\"");
  }
}

// "<length> key=value\n", the length counting itself.
std::string Record(const std::string& key, const std::string& value) {
  const std::string body = " " + key + "=" + value + "\n";
  std::size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) ++length;
  return std::to_string(length) + body;
}

TEST(ParsePaxRecords, ReadsLengthDelimitedRecords) {
  const std::string longPath(300, 'p');
  const auto records = ParsePaxRecords(Record("path", longPath) + Record("size", "12345678901") +
                                       Record("comment", "a=b\nwith a newline") + std::string(20, '\0'));
  EXPECT_EQ(records.at("path"), longPath);
  EXPECT_EQ(records.at("size"), "12345678901");
  EXPECT_EQ(records.at("comment"), "a=b\nwith a newline");
  EXPECT_EQ(records.size(), 3U);
  EXPECT_TRUE(ParsePaxRecords("").empty());
}

TEST(ParsePaxRecords, RefusesMalformedRecords) {
  for (const std::string& data : {std::string("12 path=ab\n"), std::string("99 path=x\n"),
                                  std::string("10 path=abc"), std::string("9 noequal\n"), std::string("x path=a\n"),
                                  std::string("8 =value\n"), std::string("0 \n"), Record("path", "x") + "junk"}) {
    EXPECT_THROW(ParsePaxRecords(data), ExtractError) << data;
  }
}

}  // namespace
}  // namespace tessaline::tar
