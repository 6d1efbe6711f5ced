#include "platform/unit_file.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

std::string quoted(const char* argument, uint64_t room = 512, bool program_path = false) {
  char out[512];
  uint64_t length = quote_unit_argument(out, room, argument, program_path);
  return length == 0 ? "<none>" : std::string(out, length);
}

TEST(UnitFile, ArgumentsAreQuotedSoTheManagerPassesThemUnchanged) {
  struct row {
    const char* label;
    const char* argument;
    const char* want;
  };
  const row rows[] = {
      {"plain", "/usr/local/bin/quillmere", "\"/usr/local/bin/quillmere\""},
      {"blanks", "/opt/my server/quillmere", "\"/opt/my server/quillmere\""},
      {"quote and backslash", "/a\"b\\c", "\"/a\\\"b\\\\c\""},
      {"variable", "/srv/$HOME/${X}", "\"/srv/$$HOME/$${X}\""},
      {"specifier", "/srv/%n/%%", "\"/srv/%%n/%%%%\""},
      {"control bytes", "/a\nb\tc\x01" "d\x7f", "\"/a\\nb\\tc\\x01d\\x7f\""},
      {"UTF-8 kept", "/srv/m\xc3\xbcsik", "\"/srv/m\xc3\xbcsik\""},
      {"empty", "", "\"\""},
  };
  for (const row& r : rows) EXPECT_EQ(quoted(r.argument), r.want) << r.label;
  EXPECT_EQ(quoted("/srv/$HOME/%n", 512, true), "\"/srv/$HOME/%%n\"") << "no variables in the program's path";
  EXPECT_EQ(quoted("/abc", 7), "\"/abc\"") << "exactly fits with its NUL";
  EXPECT_EQ(quoted("/abc", 6), "<none>") << "one byte short";
}

TEST(UnitFile, CommandLineIsTheProgramAndItsServiceName) {
  char out[256];
  uint64_t length = unit_command_line(out, sizeof out, "/opt/q m $x/quillmere", "marvent.quillmere.8080");
  EXPECT_EQ(std::string(out, length), "\"/opt/q m $x/quillmere\" \"-d:marvent.quillmere.8080\"");
  EXPECT_EQ(unit_command_line(out, 20, "/opt/q m/quillmere", "web"), 0u) << "does not fit";
}

TEST(UnitFile, TextHasTheServiceSettingsAndTheValuesSection) {
  char text[4096];
  z_unit_values values;
  values.type = service_type_own_process | service_type_interactive;
  values.console_pid = 1234;
  uint64_t size = build_unit_file(text, sizeof text, "\"/usr/local/bin/quillmere\" \"-d:web\"", values);
  ASSERT_GT(size, 0u);
  std::string unit(text, size);
  for (const char* line :
       {"\n[Unit]\n", "\nDescription=Lightning fast web server designed for streaming and static content\n",
        "\nAfter=network.target\n", "\nWants=network.target\n", "\n[Service]\n", "\nType=notify\n",
        "\nNotifyAccess=main\n", "\nExecStart=\"/usr/local/bin/quillmere\" \"-d:web\"\n",
        "\nExecReload=/bin/kill -HUP $MAINPID\n", "\n[Install]\n", "\nWantedBy=multi-user.target\n",
        "\n[X-Quillmere]\nType=0x110\n_console_pid=1234\n_console_sid=0\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("User="), std::string::npos) << "runs as root and lowers itself";
  EXPECT_EQ(build_unit_file(text, 100, "\"/q\"", values), 0u) << "does not fit";

  z_unit_values read = read_unit_values(text, size);
  EXPECT_TRUE(read.type_found);
  EXPECT_EQ(read.type, 0x110u);
  EXPECT_EQ(read.console_pid, 1234u);
  EXPECT_EQ(read.console_sid, 0u);
}

TEST(UnitFile, ValuesAreReadFromTheirSectionOnly) {
  struct row {
    const char* label;
    std::string text;
    bool type_found;
    uint32_t type, pid, sid;
  };
  const row rows[] = {
      {"no section", "[Service]\nType=notify\n_console_pid=7\n", false, 0, 0, 0},
      {"decimal and hex", "[X-Quillmere]\nType=272\n_console_pid=0x1F\n_console_sid=3\n", true, 0x110, 31, 3},
      {"blanks, CR LF, comments", "[X-Quillmere]\r\n  Type = 0x10 \r\n# _console_pid=9\r\n; x\r\n", true, 0x10, 0, 0},
      {"section ends at the next", "[X-Quillmere]\nType=0x110\n[Service]\n_console_pid=5\n", true, 0x110, 0, 0},
      {"unreadable values stay 0", "[X-Quillmere]\nType=notify\n_console_pid=-1\n_console_sid=4294967296\n", false,
       0, 0, 0},
      {"largest value", "[X-Quillmere]\n_console_pid=0xFFFFFFFF\n", false, 0, 0xFFFFFFFF, 0},
      {"no final line break", "[X-Quillmere]\nType=0x110", true, 0x110, 0, 0},
      {"other X- section", "[X-Other]\nType=0x110\n", false, 0, 0, 0},
  };
  for (const row& r : rows) {
    z_unit_values values = read_unit_values(r.text.data(), r.text.size());
    EXPECT_EQ(values.type_found, r.type_found) << r.label;
    EXPECT_EQ(values.type, r.type) << r.label;
    EXPECT_EQ(values.console_pid, r.pid) << r.label;
    EXPECT_EQ(values.console_sid, r.sid) << r.label;
  }
}

TEST(UnitFile, OnlyNamesTheManagerTakesAreUnitNames) {
  EXPECT_TRUE(unit_name_valid("marvent.quillmere"));
  EXPECT_TRUE(unit_name_valid("marvent.quillmere.8080"));
  EXPECT_TRUE(unit_name_valid("a_b-c"));
  EXPECT_FALSE(unit_name_valid(""));
  EXPECT_FALSE(unit_name_valid("my web"));
  EXPECT_FALSE(unit_name_valid("web@1")) << "a template instance";
  EXPECT_FALSE(unit_name_valid("m\xc3\xbcsik"));
  EXPECT_TRUE(unit_name_valid(std::string(247, 'a').c_str())) << "247 + \".service\" is the limit";
  EXPECT_FALSE(unit_name_valid(std::string(248, 'a').c_str()));
}

}  // namespace
}  // namespace qm
