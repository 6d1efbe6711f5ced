// Bounded UTF-16 to UTF-8 conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "content/header.h"

namespace qm {
namespace {

TEST(Utf16ToUtf8, Forms) {
  struct row {
    const char* label;
    std::u16string text;
    std::string expected;
  } rows[] = {
      {"ascii", u"index.html", "index.html"},
      {"empty", u"", ""},
      {"two bytes", u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
      {"three bytes", u"\u20ac\uffff", "\xe2\x82\xac\xef\xbf\xbf"},
      {"largest two-byte and smallest three-byte", u"\u07ff\u0800", "\xdf\xbf\xe0\xa0\x80"},
      {"surrogate pair", {0xD83D, 0xDE00}, "\xf0\x9f\x98\x80"},
      {"last pair", {0xDBFF, 0xDFFF}, "\xf4\x8f\xbf\xbf"},
      {"high then ascii: own bits plus 0x10000, then the unit alone", {0xD801, u'A'}, "\xf0\x90\x80\x81" "A"},
      {"high then high then low", {0xD800, 0xD801, 0xDC00}, "\xf0\x90\x80\x80\xf0\x90\x90\x80"},
      {"lone low dropped", {u'a', 0xDC00, u'b'}, "ab"},
      {"low before high: low dropped, pair kept", {0xDFFF, 0xD83D, 0xDE00}, "\xf0\x9f\x98\x80"},
      {"high at the end ends the text", {u'a', 0xD83D}, "a"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    char out[64];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(utf16_to_utf8(out, sizeof out, r.text.c_str()), r.expected.size());
    EXPECT_EQ(std::string(out), r.expected);
  }
}

TEST(Utf16ToUtf8, Rooms) {
  struct row {
    const char* label;
    std::u16string text;
    uint64_t room;
    uint64_t result;
    std::string left;  // the NUL-terminated text left in out
  } rows[] = {
      {"exact fit", u"a\u00e9", 4, 3, "a\xc3\xa9"},
      {"one short", u"a\u00e9", 3, 0, "a"},
      {"pair, exact fit", {u'a', 0xD83D, 0xDE00}, 6, 5, "a\xf0\x9f\x98\x80"},
      {"pair, one short", {u'a', 0xD83D, 0xDE00}, 5, 0, "a"},
      {"three bytes, one short", u"\u20ac", 3, 0, ""},
      {"room 1 keeps only the NUL", u"a", 1, 0, ""},
      {"room 1, empty text", u"", 1, 0, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(utf16_to_utf8(out, r.room, r.text.c_str()), r.result);
    EXPECT_EQ(std::string(out), r.left);
    for (uint64_t i = r.room; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << "written at " << i;
  }
}

TEST(Utf16ToUtf8, MissingPointersOrRoom) {
  char out[8];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(utf16_to_utf8(out, 0, u"a"), 0u);
  EXPECT_EQ(out[0], '#') << "room 0 writes nothing";
  EXPECT_EQ(utf16_to_utf8(nullptr, 8, u"a"), 0u);
  EXPECT_EQ(utf16_to_utf8(out, sizeof out, nullptr), 0u);
}

}  // namespace
}  // namespace qm
