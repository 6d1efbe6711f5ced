// The listing order: UTF-16 units through the upper-case table, then raw
// units, then (for system names) raw bytes.
#include "os/name_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/text.h"

namespace qm::os {
namespace {

std::string utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size())
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
    char bytes[4];
    out.append(bytes, encode_utf8(cp, bytes, sizeof bytes));
  }
  return out;
}

int sign(int v) { return (v > 0) - (v < 0); }

struct order_row {
  const char* label;
  std::u16string a;
  std::u16string b;
  int order;  // of a against b
};

const std::vector<order_row>& order_rows() {
  static const std::vector<order_row> rows = {
      {"same name", u"same", u"same", 0},
      {"case is ignored first", u"apple", u"Banana", -1},
      {"case is ignored first, the other way", u"Banana", u"cherry", -1},
      {"equal but for case: upper case first", u"Apfel", u"apfel", -1},
      {"equal but for case: the first differing unit decides", u"APFEL", u"Apfel", -1},
      {"a shorter start comes first, whatever the case", u"abc", u"ABCD", -1},
      {"digits by unit, not by value", u"file10", u"file9", -1},
      {"digits before letters", u"9", u"a", -1},
      {"underscore after the letters (after Z)", u"zebra", u"_notes", -1},
      {"dot before digits", u".hidden", u"0", -1},
      {"blank before everything printable", u"a b", u"a!", -1},
      {"umlaut equal but for case", u"\u00C4pfel", u"\u00E4pfel", -1},
      {"umlaut after every ASCII letter, no locale", u"Zebra", u"\u00E4pfel", -1},
      {"accented letter after the plain one", u"ecoute", u"\u00E9coute", -1},
      {"accented letter after Z", u"z\u00E8bre", u"\u00E9coute", -1},
      {"accented letter equal but for case", u"\u00C9COUTE", u"\u00E9coute", -1},
      {"y with diaeresis maps to U+0178", u"\u00FF", u"\u0178", -1},
      {"Latin Extended-A pair", u"\u0150", u"\u0151", -1},
      {"Latin Extended-A after Latin-1", u"\u00FE", u"\u0151", -1},
      {"Greek equal but for case", u"\u0391\u039B\u03A6\u0391", u"\u03B1\u03BB\u03C6\u03B1", -1},
      {"Greek by upper case: Beta before omega", u"\u0392\u03AE\u03C4\u03B1", u"\u03C9\u03BC\u03AD\u03B3\u03B1", -1},
      {"final sigma is a sigma", u"\u03C2", u"\u03C3", -1},
      {"final sigma against capital sigma", u"\u03A3", u"\u03C2", -1},
      {"Cyrillic by upper case", u"\u0410\u0440\u0431\u0443\u0437", u"\u044F\u0431\u043B\u043E\u043A\u043E", -1},
      {"Cyrillic yo before A: units, not the alphabet", u"\u0451\u043B\u043A\u0430", u"\u0416\u0443\u043A", -1},
      {"Cyrillic yo equal but for case", u"\u0401\u043B\u043A\u0430", u"\u0451\u043B\u043A\u0430", -1},
      {"Greek after Latin, Cyrillic after Greek", u"\u03C9", u"\u0430", -1},
      {"sharp s has no single upper case", u"SS", u"\u00DF", -1},
      {"micro sign maps to capital mu", u"\u00B5", u"\u039C", -1},
      {"fullwidth letters equal but for case", u"\uFF21", u"\uFF41", -1},
      {"Georgian maps to Mtavruli", u"\u10D0", u"\u1C90", -1},
      {"Cherokee small letter maps far down", u"\u13A0", u"\uAB70", -1},
      {"surrogates sort by unit: before fullwidth", u"\U0001F600", u"\uFF3A", -1},
      {"surrogates sort by unit: after Hangul", u"\uD55C", u"\U0001F600", -1},
  };
  return rows;
}

TEST(NameOrder, TableOfPairs) {
  for (const order_row& row : order_rows()) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(sign(compare_names(row.a.c_str(), row.b.c_str())), row.order);
    EXPECT_EQ(sign(compare_names(row.b.c_str(), row.a.c_str())), -row.order) << "the order is antisymmetric";
    // System names (UTF-8) order the same way as their UTF-16 forms.
    EXPECT_EQ(sign(compare_system_names(utf8(row.a).c_str(), utf8(row.b).c_str())), row.order);
  }
}

TEST(NameOrder, UpperCaseOfUnits) {
  struct {
    char16_t unit;
    char16_t upper;
  } rows[] = {
      {u'a', u'A'},        {u'z', u'Z'},        {u'A', u'A'},        {u'{', u'{'},        {u'`', u'`'},
      {0x00E4, 0x00C4},    {0x00F7, 0x00F7},    {0x00FF, 0x0178},    {0x0101, 0x0100},    {0x0100, 0x0100},
      {0x0131, u'I'},      {0x01C5, 0x01C4},    {0x01C6, 0x01C4},    {0x03C2, 0x03A3},    {0x03C9, 0x03A9},
      {0x03AC, 0x0386},    {0x044F, 0x042F},    {0x0451, 0x0401},    {0x0461, 0x0460},    {0x04CF, 0x04C0},
      {0x0561, 0x0531},    {0x1E01, 0x1E00},    {0x1FB3, 0x1FBC},    {0x24D0, 0x24B6},    {0xFF41, 0xFF21},
      {0x00DF, 0x00DF},    {0xD83D, 0xD83D},    {0xDE00, 0xDE00},    {0xFFFD, 0xFFFD},    {0x4E2D, 0x4E2D},
  };
  for (const auto& row : rows) EXPECT_EQ(upper_unit(row.unit), row.upper) << std::hex << unsigned(row.unit);
  // Upper case is its own upper case: no run maps a unit onto one that maps again.
  for (uint32_t unit = 0; unit < 0x10000; ++unit) {
    char16_t once = upper_unit(static_cast<char16_t>(unit));
    ASSERT_EQ(upper_unit(once), once) << std::hex << unit;
  }
}

TEST(NameOrder, SystemNamesReadAsTheirUnitsThenBytes) {
  struct {
    const char* label;
    const char* a;
    const char* b;
    int order;
  } rows[] = {
      {"invalid bytes read alike and order by byte", "a\xFE", "a\xFF", -1},
      {"a real U+FFFD against an invalid byte", "a\xEF\xBF\xBD", "a\xFF", -1},
      {"an overlong form is invalid, not a slash", "a\xC0\xAF", "a/", 1},
      {"a cut sequence reads as U+FFFD, then the bytes decide", "\xC3" "b", "\xEF\xBF\xBD" "b", -1},
      {"four-byte forms as surrogates: before U+FF5A", "\xF0\x9F\x98\x80", "\xEF\xBD\x9A", -1},
      {"case still comes first", "\xC3\xA4pfel", "\xC3\x84PFEL", 1},
      {"the same bytes", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(sign(compare_system_names(row.a, row.b)), row.order);
    EXPECT_EQ(sign(compare_system_names(row.b, row.a)), -row.order);
  }
}

}  // namespace
}  // namespace qm::os
