// The configuration reader: locating and creating the file, decoding, the
// line and block syntax, every key, and a reload under load.
#include "config/config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "config/lists.h"
#include "content/resources.h"
#include "core/engine.h"
#include "core/tls.h"
#include "os/output.h"
#include "os/thread.h"
#include "platform/service.h"
#include "tests/support/client.h"
#include "tests/support/server.h"

namespace qm {
namespace {

Z_SOCKET reader_engine;  // static: the slots are large

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string narrow(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// ASCII text as UTF-16 bytes, little or big endian, with or without a mark.
std::string utf16_bytes(const std::string& text, bool big_endian, bool mark) {
  std::string out;
  if (mark) out += big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (unsigned char c : text) {
    if (big_endian) out += '\0';
    out += static_cast<char>(c);
    if (!big_endian) out += '\0';
  }
  return out;
}

void point_at(Z_SOCKET& engine, const std::string& path) {
  std::free(engine.ini_path);
  std::u16string wide = widen(path);
  engine.ini_path = static_cast<char16_t*>(std::malloc((wide.size() + 1) * sizeof(char16_t)));
  std::memcpy(engine.ini_path, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  engine.ini_dir_length = path.rfind('/') + 1;
}

void reset_settings_state() {
  release_vdirs(vdirs);
  release_ext_list(ext_list);
  ext_list.block_listed = 0;
  ext_list.no_ext_block = 0;
  vdirs.root_length = 0;
  vdirs.root[0] = 0;
  std::memcpy(tls_names.cer, u"quillmere.pem", sizeof u"quillmere.pem");
  std::memcpy(tls_names.key, u"quillmere.pem", sizeof u"quillmere.pem");
}

class ConfigReader : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::temp_folder("config");
    ini_ = folder_ + "/qm.ini";
    reset_settings_state();
  }
  void TearDown() override {
    std::free(reader_engine.ini_path);
    reader_engine.ini_path = nullptr;
    reset_settings_state();
    test::run("rm -rf '" + folder_ + "'");
  }
  // Writes bytes as the .ini file and loads it.
  int load(const std::string& bytes) {
    write_bytes(ini_, bytes);
    point_at(reader_engine, ini_);
    return config(reader_engine, u"qm");
  }
  // Standard output of a load.
  std::string load_capturing(const std::string& bytes) {
    std::string path = folder_ + "/out.txt";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    os::set_out_descriptor(fd);
    load(bytes);
    os::set_out_descriptor(1);
    ::close(fd);
    return read_bytes(path);
  }
  std::string folder_;
  std::string ini_;
};

TEST(ConfigKeys, TableIsSortedAndEveryKeyIsFound) {
  for (uint32_t i = 0; i < config_key_count; ++i) {
    if (i > 0) {
      EXPECT_LT(std::u16string(config_keys[i - 1].name), std::u16string(config_keys[i].name)) << i;
    }
    EXPECT_EQ(find_config_key(config_keys[i].name), static_cast<int32_t>(i)) << narrow(config_keys[i].name);
  }
  EXPECT_EQ(find_config_key(u"Port"), -1);
  EXPECT_EQ(find_config_key(u"ex"), -1);
  EXPECT_EQ(find_config_key(u"ext_"), -1);
}

TEST(ConfigValues, BooleansPortsAndModes) {
  struct row {
    const char16_t* value;
    bool boolean;
  } bools[] = {{u"yes", true}, {u"Yes", false}, {u"+", true}, {u"on", false}, {u"true", true},
               {u"True", false}, {u"1", true},  {u"0", false}, {u"", false},  {u" yes", false}};
  for (const row& r : bools) EXPECT_EQ(parse_bool(r.value), r.boolean) << narrow(r.value);

  EXPECT_EQ(parse_decimal(u" \t8080x"), 8080);
  EXPECT_EQ(parse_decimal(u"-1"), -1);
  EXPECT_EQ(parse_decimal(u"+7"), 7);
  EXPECT_EQ(parse_decimal(u"99999999999"), 2147483647);
  EXPECT_EQ(parse_decimal(u"-99999999999"), -2147483647 - 1);
  EXPECT_EQ(parse_decimal(u"x1"), 0);

  EXPECT_TRUE(parse_block_mode(u"block"));
  EXPECT_TRUE(parse_block_mode(u""));
  EXPECT_TRUE(parse_block_mode(u"0"));
  EXPECT_TRUE(parse_block_mode(u"no"));
  EXPECT_FALSE(parse_block_mode(u"allow"));
  EXPECT_FALSE(parse_block_mode(u"Block"));
  EXPECT_FALSE(parse_block_mode(u"block "));
  EXPECT_FALSE(parse_block_mode(u"1"));
}

// What a load leaves; -1 (or empty) means "not checked".
struct expected_settings {
  int port = 80;
  std::string root = "C:\\inetpub\\wwwroot";
  int list_directories = 0;
  int ext_count = -1;
  int block_listed = -1;
  int no_ext_block = -1;
  int vdir_count = -1;
};

struct syntax_row {
  const char* label;
  const char* before;  // loaded first when not null
  const char* text;
  expected_settings expected;
};

expected_settings port_is(int port) {
  expected_settings e;
  e.port = port;
  return e;
}
expected_settings ext_is(int count, int block_listed, int no_ext_block = -1) {
  expected_settings e;
  e.ext_count = count;
  e.block_listed = block_listed;
  e.no_ext_block = no_ext_block;
  return e;
}
expected_settings vdirs_are(int count, int port = 80) {
  expected_settings e;
  e.vdir_count = count;
  e.port = port;
  return e;
}
expected_settings listing(int on) {
  expected_settings e;
  e.list_directories = on;
  return e;
}
expected_settings port_and_listing(int port, int on) {
  expected_settings e;
  e.port = port;
  e.list_directories = on;
  return e;
}
expected_settings root_is(const std::string& root) {
  expected_settings e;
  e.root = root;
  return e;
}

const char three_words[] = "{\r\n\tkey p7b pem\r\n}\r\n";

TEST_F(ConfigReader, LinesBlocksAndKeys) {
  const std::string block_ext = std::string("ext=block\r\n") + three_words;
  const std::string allow_ext = std::string("ext=allow\r\n") + three_words;
  const syntax_row rows[] = {
      {"port 65535 refused", nullptr, "port=65535\r\n", port_is(80)},
      {"port 0 refused", nullptr, "port=0\r\n", port_is(80)},
      {"port -1 refused", nullptr, "port=-1\r\n", port_is(80)},
      {"port read by its digits", nullptr, "port= 8080x\r\n", port_is(8080)},
      {"port 65534 accepted", nullptr, "port=65534", port_is(65534)},
      {"port saturates and is refused", nullptr, "port=4294967376\r\n", port_is(80)},
      {"later line overrides", nullptr, "port=81\r\nport=82\r\n", port_is(82)},
      {"LF-only lines", nullptr, "port=81\nlist_directories=1\nport=82\n", port_and_listing(82, 1)},
      {"key with leading blank ignored", nullptr, " port=8080\r\n", port_is(80)},
      {"key in another case ignored", nullptr, "Port=8080\r\n", port_is(80)},
      {"blank before = ignored", nullptr, "port =8080\r\n", port_is(80)},
      {"bare comment kills the next key", nullptr, "# a note\r\nport=8080\r\nport=81\r\n", port_is(81)},
      {"hash comment hides its block", nullptr, "# ext=block\r\n{\r\n\tkey\r\n}\r\n", ext_is(0, 0)},
      {"ext=block", nullptr, block_ext.c_str(), ext_is(3, 1)},
      {"ext=allow", nullptr, allow_ext.c_str(), ext_is(3, 0)},
      {"ext without block changes nothing", block_ext.c_str(), "ext=allow\r\nuser=x\r\n", ext_is(3, 1)},
      {"ext_no_ext without block sets only the flag", allow_ext.c_str(), "ext_no_ext=block\r\n", ext_is(3, 0, 1)},
      {"ext_no_ext with block replaces the list", allow_ext.c_str(), "ext_no_ext=block\r\n{\r\n\ta b\r\n}\r\n",
       ext_is(2, 1, 1)},
      {"ext_no_ext=allow clears the flag", "ext_no_ext=block\r\n", "ext_no_ext=allow\r\n", ext_is(0, -1, 0)},
      {"indented brace does not close", nullptr, "vdir=\r\n{\r\na|/x\r\n }\r\nport=8080\r\n}\r\nport=81\r\n",
       vdirs_are(1, 81)},
      {"unclosed block swallows the rest", nullptr, "vdir=\r\n{\r\na|/x\r\nb|/y\r\nport=8080\r\n",
       vdirs_are(2, 80)},
      {"brace as the last character closes", nullptr, "vdir=\r\n{\r\na|/x\r\n}", vdirs_are(1)},
      {"empty vdir block removes all", "vdir=\r\n{\r\na|/x\r\n}\r\n", "vdir=\r\n{\r\n}\r\nport=81\r\n",
       vdirs_are(0, 81)},
      {"no vdir key keeps them", "vdir=\r\n{\r\na|/x\r\n}\r\n", "port=81\r\n", vdirs_are(1, 81)},
      {"vdir without block changes nothing", "vdir=\r\n{\r\na|/x\r\n}\r\n", "vdir=\r\nport=81\r\n",
       vdirs_are(1, 81)},
      {"brace not alone on its line is no block", nullptr, "vdir=\r\n{a|/x\r\n}\r\nport=81\r\n", vdirs_are(0, 80)},
      {"boolean yes", nullptr, "list_directories=yes\r\n", listing(1)},
      {"boolean Yes", nullptr, "list_directories=Yes\r\n", listing(0)},
      {"boolean +", nullptr, "list_directories=+\r\n", listing(1)},
      {"boolean on", nullptr, "list_directories=on\r\n", listing(0)},
      {"boolean true", nullptr, "list_directories=true\r\n", listing(1)},
      {"switch off when its key is gone", "list_directories=1\r\n", "port=80\r\n", listing(0)},
      {"root replaced, CR cut", nullptr, "root=/srv/www\r\n", root_is("/srv/www")},
      {"empty root ignored", "root=/srv/www\r\n", "root=\r\n", root_is("/srv/www")},
      {"root kept when its key is gone", "root=/srv/www\r\n", "port=80\r\n", root_is("/srv/www")},
      {"value keeps its blanks", nullptr, "root= /a b \r\n", root_is(" /a b ")},
  };
  for (const syntax_row& row : rows) {
    SCOPED_TRACE(row.label);
    reset_settings_state();
    if (row.before != nullptr) load(row.before);
    ASSERT_EQ(load(row.text), 0);
    const expected_settings& e = row.expected;
    EXPECT_EQ(reader_engine.port, e.port);
    EXPECT_EQ(narrow(vdirs.root), e.root);
    EXPECT_EQ(vdirs.root_length, e.root.size());
    EXPECT_EQ(effective.list_directories.load(), e.list_directories == 1);
    if (e.ext_count >= 0) {
      EXPECT_EQ(ext_list.count, static_cast<uint64_t>(e.ext_count));    }
    if (e.block_listed >= 0) {
      EXPECT_EQ(ext_list.block_listed, e.block_listed);
    }
    if (e.no_ext_block >= 0) {
      EXPECT_EQ(ext_list.no_ext_block, e.no_ext_block);    }
    if (e.vdir_count >= 0) {
      EXPECT_EQ(vdirs.count, static_cast<uint64_t>(e.vdir_count));
    }
  }
}

TEST_F(ConfigReader, TooLongRootIsRefusedAndTheOldOneKept) {
  load("root=/srv/www\r\n");
  std::string longest = "/" + std::string(65534, 'r');
  load("root=" + longest + "\r\n");
  EXPECT_EQ(vdirs.root_length, 65535u) << "65535 characters fit";
  load("root=/srv/www\r\nroot=/" + std::string(65535, 'r') + "\r\n");
  EXPECT_EQ(narrow(vdirs.root), "/srv/www");
}

TEST_F(ConfigReader, EveryEncodingGivesTheSameSettings) {
  const std::string text =
      "root=/srv/www\r\nport=8080\r\nlist_directories=1\r\nmin_gz=1\r\nvdir=\r\n{\r\n\tmedia|/srv/media\r\n}\r\n"
      "ext=block\r\n{\r\n\tkey p7b pem\r\n}\r\n";
  const struct {
    const char* label;
    std::string bytes;
  } files[] = {
      {"UTF-8", text},
      {"UTF-8 with EF BB BF", "\xEF\xBB\xBF" + text},
      {"UTF-16LE with FF FE", utf16_bytes(text, false, true)},
      {"UTF-16BE with FE FF", utf16_bytes(text, true, true)},
      {"UTF-16LE with FF FE, odd byte count", utf16_bytes(text, false, true) + "x"},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.label);
    reset_settings_state();
    ASSERT_EQ(load(file.bytes), 0);
    EXPECT_EQ(narrow(vdirs.root), "/srv/www");
    EXPECT_EQ(reader_engine.port, 8080);
    EXPECT_TRUE(effective.list_directories.load());
    EXPECT_TRUE(effective.min_gz.load());
    ASSERT_EQ(vdirs.count, 1u);
    EXPECT_EQ(narrow(vdirs.entries[0].path), "/srv/media");
    EXPECT_EQ(ext_list.count, 3u);
    EXPECT_EQ(ext_list.block_listed, 1);
  }
  // Without a mark UTF-16 is read as UTF-8: its first NUL ends the text.
  reset_settings_state();
  load(utf16_bytes(text, false, false));
  EXPECT_EQ(narrow(vdirs.root), "C:\\inetpub\\wwwroot");
  EXPECT_EQ(reader_engine.port, 80);
  EXPECT_EQ(vdirs.count, 0u);
  // A non-ASCII root decodes the same from UTF-8 and UTF-16.
  reset_settings_state();
  load("root=/srv/w\xC3\xAB" "b\r\n");
  EXPECT_EQ(std::u16string(vdirs.root), u"/srv/w\u00EBb");
}

TEST_F(ConfigReader, EmptyMissingAndVanishedFilesLoadTheDefaults) {
  load("port=81\r\nlist_directories=1\r\n");
  ASSERT_EQ(reader_engine.port, 81);
  ::unlink(ini_.c_str());
  ASSERT_EQ(config(reader_engine, u"qm"), 0);
  EXPECT_EQ(reader_engine.port, 80);
  EXPECT_FALSE(effective.list_directories.load());
  EXPECT_EQ(load(""), 0);
  EXPECT_EQ(reader_engine.port, 80);
  reader_engine.ini_path[0] = 0;  // no usable file at start-up
  EXPECT_EQ(config(reader_engine, u"qm"), 0);
  EXPECT_EQ(reader_engine.port, 80);
}

const z_resource_t* carried(const char* install_path) {
  for (const z_resource_t& r : resource_table) {
    if (std::strcmp(r.install_path, install_path) == 0) return &r;
  }
  return nullptr;
}

// The carried text of a configuration file, UTF-16LE ones narrowed to ASCII.
std::string carried_text(const z_resource_t& r) {
  std::string bytes(reinterpret_cast<const char*>(r.data), r.size);
  if (bytes.compare(0, 2, "\xFF\xFE") != 0) return bytes;
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
  return text;
}

// The defaults carried for other systems, read by this reader: a bare
// comment line or a stray brace would lose settings here.
TEST_F(ConfigReader, CarriedUnixDefaultsApplyAsWritten) {
  const struct {
    const char* install_path;
    const char* root;
    uint16_t port;
    bool list_directories, min_gz, upgrade_https;
    uint64_t ext_count;
    uint8_t block_listed;
  } rows[] = {
      {"/etc/z_quillmere/z_quillmere.ini", "/srv/www", 80, false, false, true, 105, 0},
      {"/etc/z_quillmere/z_quillmere.iphone.ini", "/var/mobile/Media", 8080, true, false, false, 39, 0},
      {"/etc/z_quillmere/z_quillmere.openwrt.ini", "/mnt/sda1", 8080, true, true, false, 5, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.install_path);
    const z_resource_t* r = carried(row.install_path);
    ASSERT_NE(r, nullptr);
    reset_settings_state();
    ASSERT_EQ(load(carried_text(*r)), 0);
    EXPECT_EQ(narrow(vdirs.root), row.root);
    EXPECT_EQ(reader_engine.port, row.port);
    EXPECT_EQ(effective.list_directories.load(), row.list_directories);
    EXPECT_EQ(effective.min_gz.load(), row.min_gz);
    EXPECT_EQ(reader_engine.upgrade_https, row.upgrade_https);
    EXPECT_FALSE(reader_engine.upgrade_hsts);
    EXPECT_EQ(vdirs.count, 0u) << "the vdir examples are comments";
    EXPECT_EQ(ext_list.count, row.ext_count);
    EXPECT_EQ(ext_list.block_listed, row.block_listed);
    EXPECT_EQ(ext_list.no_ext_block, 0);
    EXPECT_EQ(narrow(tls_names.cer), "quillmere.pem") << "TLS names are commented out";
  }
}

// Every carried configuration shows every key at the start of a line, set or
// commented out by breaking it ("# key="), so an admin finds them all.
TEST(CarriedConfigurations, EveryFileNamesEveryKey) {
  for (const char* path : {"/Program Files/z_quillmere/z_quillmere.ini", "/etc/z_quillmere/z_quillmere.ini",
                           "/etc/z_quillmere/z_quillmere.iphone.ini", "/etc/z_quillmere/z_quillmere.openwrt.ini"}) {
    SCOPED_TRACE(path);
    const z_resource_t* r = carried(path);
    ASSERT_NE(r, nullptr);
    const std::string text = "\n" + carried_text(*r);
    for (const z_config_key_t& key : config_keys) {
      const std::string name = narrow(key.name);
      bool named = text.find("\n" + name + "=") != std::string::npos ||
                   text.find("\n# " + name + "=") != std::string::npos;
      EXPECT_TRUE(named) << name;
    }
    // blocks open and close in the first column only
    EXPECT_EQ(text.find("\t{"), std::string::npos);
    EXPECT_EQ(text.find(" }"), std::string::npos);
    EXPECT_EQ(text.find("\t}"), std::string::npos);
  }
}

class ConfigTls : public ConfigReader {
 protected:
  void SetUp() override {
    ConfigReader::SetUp();
    if (!server_context_exists()) {
      ASSERT_TRUE(create_server_context());    }
    ASSERT_TRUE(test::make_certificate(folder_, "localhost", 30));
    tls_ready = false;
    cert_valid = false;
  }
  void TearDown() override {
    tls_ready = false;
    cert_valid = false;
    tls_report = false;
    free_server_context();
    ConfigReader::TearDown();
  }
};

TEST_F(ConfigTls, CertificateLoadsOnlyWhenOneFileNamesBoth) {
  load("tls_cer=localhost.pem\r\nupgrade_https=1\r\nupgrade_hsts=1\r\n");
  EXPECT_FALSE(tls_ready.load()) << "a certificate name alone loads nothing";
  EXPECT_EQ(narrow(tls_names.cer), folder_ + "/localhost.pem") << "relative names follow the .ini folder";
  EXPECT_TRUE(reader_engine.upgrade_https);
  EXPECT_FALSE(effective.upgrade_https.load()) << "no certificate, no upgrade";
  EXPECT_FALSE(effective.upgrade_hsts.load());

  reader_engine.tasks[3].host_verdict = 7;
  load("tls_cer=localhost.pem\r\ntls_key=localhost.key\r\nupgrade_https=1\r\nupgrade_hsts=1\r\n");
  EXPECT_TRUE(tls_ready.load());
  EXPECT_TRUE(cert_valid.load());
  EXPECT_TRUE(effective.upgrade_https.load());
  EXPECT_TRUE(effective.upgrade_hsts.load());
  EXPECT_EQ(reader_engine.tasks[3].host_verdict, 0u) << "host verdicts are cleared by every load";
  EXPECT_TRUE(tls_report.load());

  load("port=81\r\n");
  EXPECT_TRUE(tls_ready.load()) << "a file naming neither keeps the loaded certificate";
  EXPECT_FALSE(effective.upgrade_https.load()) << "the switch itself is gone";
}

TEST_F(ConfigTls, AbsoluteNamesAreTakenAsGiven) {
  load("tls_key=" + folder_ + "/localhost.key\r\ntls_cer=" + folder_ + "/localhost.pem\r\n");
  EXPECT_EQ(narrow(tls_names.key), folder_ + "/localhost.key");
  EXPECT_TRUE(tls_ready.load()) << "loaded after the second name";
  load("tls_cer=c:quillmere.pem\r\n");
  EXPECT_EQ(narrow(tls_names.cer), "c:quillmere.pem") << "a name with ':' is not resolved";
}

TEST_F(ConfigTls, TooLongNameIsReportedAndTheOldOneKept) {
  std::string out = load_capturing("tls_cer=" + std::string(65536, 'c') + "\r\ntls_key=" + std::string(65536, 'k'));
  EXPECT_EQ(out, "z_tls_t::cer too long\nz_tls_t::key too long\n");
  EXPECT_EQ(narrow(tls_names.cer), "quillmere.pem");
  EXPECT_EQ(narrow(tls_names.key), "quillmere.pem");
  EXPECT_FALSE(tls_ready.load());

  out = load_capturing("tls_cer=/" + std::string(65534, 'c') + "\r\n");
  EXPECT_EQ(out, "") << "65535 characters fit";
  EXPECT_EQ(std::u16string(tls_names.cer).size(), 65535u);
}

// The file is located from an executable path in a temp folder.
class ConfigLocate : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::temp_folder("locate");
    reset_settings_state();
    saved_name_given_ = z_service.name_given;
    std::memcpy(saved_name_, z_service.service_name, sizeof saved_name_);
  }
  void TearDown() override {
    z_service.name_given = saved_name_given_;
    std::memcpy(z_service.service_name, saved_name_, sizeof saved_name_);
    std::free(reader_engine.ini_path);
    reader_engine.ini_path = nullptr;
    config_executable_override = nullptr;
    reset_settings_state();
    test::run("rm -rf '" + folder_ + "'");
  }
  std::string folder_;
  bool saved_name_given_ = false;
  char16_t saved_name_[service_name_capacity] = {};
};

TEST_F(ConfigLocate, NamesFollowTheProgramOrTheService) {
  const struct {
    const char* label;
    const char* program;  // below folder_, or absolute-free when no '/'
    bool service;
    const char* ini;  // expected, below folder_; empty: no file
  } rows[] = {
      {"extension replaced", "/qm.exe", false, "/qm.ini"},
      {"last dot only", "/qm.v2.exe", false, "/qm.v2.ini"},
      {"no extension", "/qm", false, "/qm.ini"},
      {"dot before the separator ignored", "/d.d/qm", false, "/d.d/qm.ini"},
      {"service name", "/qm.exe", true, "/marvent.quillmere.8080.ini"},
  };
  test::run("mkdir -p '" + folder_ + "/d.d'");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    z_service.name_given = row.service;
    std::memcpy(z_service.service_name, u"marvent.quillmere.8080", sizeof u"marvent.quillmere.8080");
    std::free(reader_engine.ini_path);
    reader_engine.ini_path = nullptr;
    std::u16string program = widen(folder_ + row.program);
    Z_FILE file;
    ASSERT_EQ(locate_config(reader_engine, nullptr, file, program.c_str()), 0);
    EXPECT_TRUE(file.opened);
    std::string expected = folder_ + row.ini;
    EXPECT_EQ(narrow(reader_engine.ini_path), expected);
    EXPECT_EQ(reader_engine.ini_dir_length, expected.rfind('/') + 1);
    EXPECT_EQ(read_bytes(expected).size(), default_config_resource()->size);
  }
}

TEST_F(ConfigLocate, ServiceFileIsNotCreatedWithoutAFolder) {
  z_service.name_given = true;
  std::memcpy(z_service.service_name, u"qm-no-such-service", sizeof u"qm-no-such-service");
  Z_FILE file;
  EXPECT_NE(locate_config(reader_engine, nullptr, file, u"qm-program"), 0);
  EXPECT_FALSE(file.opened);
  ASSERT_NE(reader_engine.ini_path, nullptr);
  EXPECT_EQ(reader_engine.ini_path[0], 0) << "no usable file";
  EXPECT_NE(::access("qm-no-such-service.ini", F_OK), 0);
}

TEST_F(ConfigLocate, MissingFileIsCreatedFromTheDefaultAndRead) {
  z_service.name_given = false;
  std::u16string program = widen(folder_ + "/z_quillmere");
  config_executable_override = program.c_str();
  ASSERT_EQ(config(reader_engine, u"ignored"), 0);

  const z_resource_t* resource = default_config_resource();
  std::string bytes = read_bytes(folder_ + "/z_quillmere.ini");
  ASSERT_EQ(bytes.size(), resource->size);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(std::memcmp(bytes.data(), resource->data, resource->size), 0);

  EXPECT_EQ(narrow(vdirs.root), "c:\\inetpub\\wwwroot");
  EXPECT_EQ(reader_engine.port, 80);
  EXPECT_TRUE(reader_engine.upgrade_https);
  EXPECT_FALSE(effective.upgrade_https.load()) << "no certificate";
  EXPECT_FALSE(reader_engine.upgrade_hsts);
  EXPECT_FALSE(effective.list_directories.load());
  EXPECT_EQ(vdirs.count, 0u);
  EXPECT_EQ(ext_list.count, 168u);
  EXPECT_EQ(ext_list.block_listed, 0);
  EXPECT_EQ(ext_list.no_ext_block, 0);

  // An existing file is read, not overwritten.
  write_bytes(folder_ + "/z_quillmere.ini", "port=81\r\n");
  std::free(reader_engine.ini_path);
  reader_engine.ini_path = nullptr;
  config(reader_engine, u"ignored");
  EXPECT_EQ(reader_engine.port, 81);
  EXPECT_EQ(read_bytes(folder_ + "/z_quillmere.ini"), "port=81\r\n");
}

TEST(ConfigReload, RunningServerTakesTheNewFileWhileServing) {
  std::string folder = test::temp_folder("reload");
  test::run("mkdir -p '" + folder + "/www'");
  write_bytes(folder + "/www/a.txt", "hello");
  const std::string ini = folder + "/qm.ini";
  write_bytes(ini, "root=" + folder + "/www\r\nlist_directories=0\r\n");
  reset_settings_state();
  std::u16string program = widen(folder + "/qm");
  config_executable_override = program.c_str();

  test::server server;
  ASSERT_TRUE(server.start());
  config_executable_override = nullptr;
  ASSERT_FALSE(effective.list_directories.load());

  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::atomic<int> failed{0};
  std::string first_failure;
  std::thread client([&] {
    while (!done) {
      test::client c;
      std::string response;
      if (c.connect_to(server.port()) && c.send_all("GET /a.txt HTTP/1.1\r\nHost: localhost\r\n\r\n")) {
        response = c.read_response();
      }
      // Any complete answer counts: what a request gets is dispatch's business;
      // a reload must only never lose or break one.
      if (test::status_line(response).rfind("HTTP/1.1 ", 0) == 0) {
        ++answered;
      } else if (failed++ == 0) {
        first_failure = response;
      }
    }
  });
  for (int i = 0; i < 10000 && answered < 20 && failed == 0; ++i) os::sleep_ms(1);
  write_bytes(ini, "root=" + folder + "/www\r\nlist_directories=1\r\n");
  os::event_set(z_service.reload_event);
  for (int i = 0; i < 10000 && !effective.list_directories.load(); ++i) os::sleep_ms(1);
  EXPECT_TRUE(effective.list_directories.load()) << "the reload took the new file";
  int after = answered + 20;
  for (int i = 0; i < 10000 && answered < after && failed == 0; ++i) os::sleep_ms(1);
  done = true;
  client.join();
  EXPECT_EQ(failed.load(), 0) << first_failure;
  EXPECT_GE(answered.load(), 40);
  server.stop();
  reset_settings_state();
  test::run("rm -rf '" + folder + "'");
}

}  // namespace
}  // namespace qm
