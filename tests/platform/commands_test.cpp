#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/service.h"

namespace qm {
namespace {

bool runs(std::vector<std::u16string> words) {
  std::vector<char16_t*> argv;
  for (std::u16string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return runs_server(static_cast<int>(words.size()), argv.data());
}

TEST(Commands, OnlyANameAtTheEndLetsTheServerRun) {
  struct row {
    const char* label;
    std::vector<std::u16string> words;
    bool runs;
  };
  const std::vector<row> rows = {
      {"no arguments", {u"quillmere"}, true},
      {"not -d", {u"quillmere", u"-x", u"stop"}, true},
      {"-d alone", {u"quillmere", u"-d"}, true},
      {"-d and a word", {u"quillmere", u"-d", u"stop"}, false},
      {"-d and an unknown word", {u"quillmere", u"-d", u"-start"}, false},
      {"a letter", {u"quillmere", u"-dq"}, false},
      {"an unknown letter", {u"quillmere", u"-dx"}, false},
      {"name", {u"quillmere", u"-d:web"}, true},
      {"name and colon", {u"quillmere", u"-d:web:"}, true},
      {"name and two colons", {u"quillmere", u"-d:web::"}, true},
      {"name then a letter", {u"quillmere", u"-d:web:q"}, false},
      {"letters then a name", {u"quillmere", u"-dq:web"}, true},
      {"name with a word", {u"quillmere", u"-d:web:", u"stop"}, false},
      {"empty name", {u"quillmere", u"-d:"}, true},
  };
  for (const row& r : rows) EXPECT_EQ(runs(r.words), r.runs) << r.label;
}

}  // namespace
}  // namespace qm
