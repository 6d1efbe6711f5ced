#include "os/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "os/error.h"

namespace qm::os {
namespace {

// Points the output descriptor at a temporary file while it lives.
struct captured_output {
  FILE* file = std::tmpfile();
  captured_output() { set_out_descriptor(fileno(file)); }
  ~captured_output() {
    set_out_descriptor(1);
    std::fclose(file);
  }
  std::string text() {
    std::fflush(file);
    std::rewind(file);
    std::string all;
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) all.append(chunk, n);
    return all;
  }
};

TEST(Output, PrintErrorText) {
  char message[256];
  std::string system = error_text(err_not_found, message, sizeof message);
  ASSERT_EQ(system, "No such file or directory");
  struct row {
    const char* name;
    const char* call_text;
    std::string expected;
  } rows[] = {
      {"with call text", "open(path)", "open(path)\n   ^ERROR: 2, " + system + "\n"},
      {"empty call text", "", "\n   ^ERROR: 2, " + system + "\n"},
      {"no call text", nullptr, "   ^ERROR: 2, " + system + "\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    captured_output capture;
    EXPECT_EQ(print_error(err_not_found, r.call_text), err_not_found);
    EXPECT_EQ(capture.text(), r.expected);
  }
}

TEST(Output, LongMessagesAreWrittenWhole) {
  captured_output capture;
  std::string long_text(10000, 'x');
  EXPECT_EQ(out("[%s]", long_text.c_str()), 10002);
  EXPECT_EQ(capture.text(), "[" + long_text + "]");
}

TEST(Output, ErrorTextNeverFails) {
  char small[8];
  EXPECT_STREQ(error_text(err_not_found, small, sizeof small), "No such");
  char text[64];
  EXPECT_STRNE(error_text(99999, text, sizeof text), "");
  EXPECT_STREQ(error_text(err_no_more_files, text, sizeof text), "No more files");
}

TEST(Output, U16ArgConvertsToUtf8) {
  struct row {
    const char* name;
    const char16_t* text;
    uint32_t room;
    const char* expected;
  } rows[] = {
      {"ascii", u"index.html", 64, "index.html"},
      {"two and three bytes", u"\u00e9\u20ac", 64, "\xc3\xa9\xe2\x82\xac"},
      {"surrogate pair", u"\U0001F600", 64, "\xf0\x9f\x98\x80"},
      {"lone high surrogate", u"a\xd800z", 64, "a\xef\xbf\xbdz"},
      {"lone low surrogate", u"\xdc00", 64, "\xef\xbf\xbd"},
      {"cut at room, never inside a sequence", u"ab\u20ac", 5, "ab"},
      {"null text", nullptr, 8, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    char out_text[64];
    EXPECT_STREQ(u16_arg(r.text, out_text, r.room), r.expected);
  }
}

}  // namespace
}  // namespace qm::os
