// Path resolution, target decoding, the slash redirect of a virtual directory
// and the HTTPS upgrade, on requests parsed from text as the receive loop has
// them.
#include "http/dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/lists.h"
#include "content/mime.h"
#include "core/engine.h"
#include "core/tls.h"
#include "http/request.h"

namespace {

using namespace qm;

// A request parsed in place in its own receive buffer, with room after it.
struct ParsedRequest {
  std::vector<char> buffer;
  Z_REQUEST request{};
  char* start = nullptr;

  explicit ParsedRequest(const std::string& text, size_t room = 256) : buffer(text.size() + room + 1, '\0') {
    std::memcpy(buffer.data(), text.data(), text.size());
    start = buffer.data();
    clear_request(request);
    parse_request(request, start, text.size(), buffer.data() + buffer.size());
  }
};

std::string get(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n"; }

// The document root and the virtual directories, restored after each test.
class Resolution : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_root_.assign(vdirs.root, vdirs.root_length);
    release_vdirs(vdirs);
    set_root(u"/srv/www");
  }
  void TearDown() override {
    release_vdirs(vdirs);
    set_root(saved_root_);
  }

  static void set_root(const std::u16string& root) {
    std::memcpy(vdirs.root, root.c_str(), (root.size() + 1) * sizeof(char16_t));
    vdirs.root_length = root.size();
  }
  static void use_vdirs() { ASSERT_EQ(parse_vdir_block(vdirs, u"docs|manual\r\nmedia|/mnt/media\r\n"), 0); }

  struct Outcome {
    int result;
    std::u16string path;  // the whole path on success
    uint8_t redirect;
    uint32_t type;
  };

  Outcome resolve(ParsedRequest& parsed, uint64_t capacity = default_path_length) {
    units_.assign(capacity, u'#');
    Z_PATH path{};
    path.buffer = units_.data();
    path.capacity = capacity;
    int result = resolve_path(path, parsed.request);
    Outcome out{result, {}, path.redirect, path.type};
    if (result == 0) {
      out.path.assign(path.buffer, path.end);
      EXPECT_EQ(*path.end, u'\0');
      EXPECT_EQ(path.rest, path.buffer + path.prefix_size);
      EXPECT_EQ(path.rest_size, static_cast<uint64_t>(path.end - path.rest));
    }
    return out;
  }

  std::u16string saved_root_;
  std::vector<char16_t> units_;
};

struct PathCase {
  const char* label;
  std::string target;
  std::u16string expected;  // after the root "/srv/www"
};

TEST_F(Resolution, DecodesAndNormalisesUnderTheRoot) {
  const PathCase cases[] = {
      {"plain", "/index.html", u"/index.html"},
      {"root", "/", u"/"},
      {"dot and dot-dot", "/a/./b/../c", u"/a/c"},
      {"dot-dot above the root", "/../../x", u"/x"},
      {"encoded slashes act as separators", "/a%2F..%2Fb", u"/b"},
      {"backslash is a separator", "/a\\b", u"/a/b"},
      {"empty segment dropped", "/a//b", u"/a/b"},
      {"trailing dot keeps the directory", "/a/.", u"/a/"},
      {"trailing dot-dot keeps the directory", "/a/b/..", u"/a/"},
      {"only dot-dots", "/..", u"/"},
      {"hex upper", "/%41", u"/A"},
      {"hex lower", "/%4a", u"/J"},
      {"no hex digits keep the percent", "/%zz", u"/%zz"},
      {"one hex digit keeps the percent", "/%4", u"/%4"},
      {"percent at the end", "/a%", u"/a%"},
      {"%ff stays literal", "/%ff", u"/%ff"},
      {"%FF stays literal", "/%FF", u"/%FF"},
      {"decoded NUL ends the text", "/a%00b", u"/a"},
      {"UTF-8 decoded to UTF-16", "/%C3%A9", u"/\u00e9"},
      {"traversal", "/../../etc/passwd", u"/etc/passwd"},
      {"encoded traversal", "/%2e%2e/%2e%2e/etc/passwd", u"/etc/passwd"},
      {"encoded backslash traversal", "/a%5c..%5c..%5cetc/passwd", u"/etc/passwd"},
      {"mixed traversal", "/a/..\\..%2f%2E%2E/etc", u"/etc"},
      {"query not part of the path", "/a/b?x=../../y", u"/a/b"},
      {"dotted names are ordinary", "/...//.a/..b", u"/.../.a/..b"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.label);
    ParsedRequest parsed(get(c.target));
    ASSERT_TRUE(parsed.request.valid);
    Outcome out = resolve(parsed);
    ASSERT_EQ(out.result, 0);
    EXPECT_EQ(out.path, u"/srv/www" + c.expected);
    EXPECT_EQ(out.redirect, 0);
  }
}

TEST_F(Resolution, TypeComesOnlyFromThePartTakenFromTheTarget) {
  set_root(u"C:\\web.site");
  ParsedRequest readme(get("/readme"));
  Outcome out = resolve(readme);
  ASSERT_EQ(out.result, 0);
  EXPECT_EQ(out.path, u"C:\\web.site/readme");
  EXPECT_EQ(out.type, mime_octet_stream);

  ParsedRequest folder(get("/a/"));
  EXPECT_EQ(resolve(folder).type, mime_html);
}

TEST_F(Resolution, VirtualDirectoriesServeFromTheirPrefix) {
  use_vdirs();
  struct Case {
    const char* label;
    std::string target;
    std::u16string expected;
  } cases[] = {
      {"relative vdir under the root", "/docs/guide.txt", u"/srv/www/manual/guide.txt"},
      {"relative vdir, its folder", "/docs/", u"/srv/www/manual/"},
      {"absolute vdir alone", "/media/a/../song.mp3", u"/mnt/media/song.mp3"},
      {"dot-dot stops at the vdir", "/media/../../etc/passwd", u"/mnt/media/etc/passwd"},
      {"encoded name matches", "/%64ocs/x", u"/srv/www/manual/x"},
      {"case differs: not the vdir", "/Docs/x", u"/srv/www/Docs/x"},
      {"longer name: not the vdir", "/docsx/y", u"/srv/www/docsx/y"},
      {"empty first segment: not a vdir", "//docs", u"/srv/www/docs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ParsedRequest parsed(get(c.target));
    Outcome out = resolve(parsed);
    ASSERT_EQ(out.result, 0);
    EXPECT_EQ(out.path, c.expected);
  }
}

TEST_F(Resolution, VirtualDirectoryWithoutSlashRedirects) {
  use_vdirs();
  struct Case {
    const char* label;
    std::string target;
    std::string location;
    std::string query;
  } cases[] = {
      {"bare name", "/docs", "/docs/", ""},
      {"with query", "/docs?x=1", "/docs/?x=1", "x=1"},
      {"empty query", "/media?", "/media/?", ""},
      {"absolute form", "http://host/docs?a", "/docs/?a", "a"},
  };
  ParsedRequest control(get("/docs?a\tb"));
  ASSERT_TRUE(control.request.valid);
  Outcome refused = resolve(control);
  EXPECT_EQ(refused.result, -1);
  EXPECT_EQ(refused.redirect, 0) << "a control byte in the target never reaches a Location";

  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ParsedRequest parsed(get(c.target));
    uint64_t path_size = parsed.request.path_size;
    Outcome out = resolve(parsed);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.redirect, 1);
    EXPECT_EQ(std::string(parsed.request.target), c.location);
    EXPECT_EQ(parsed.request.target_size, c.location.size());
    EXPECT_EQ(parsed.request.path_size, path_size + 1);
    EXPECT_EQ(std::string(parsed.request.query ? parsed.request.query : ""), c.query);
    EXPECT_NE(std::string(parsed.request.target).rfind("//", 0), 0u);
    // The host header after the target is untouched by the move.
    EXPECT_EQ(std::string(parsed.request.host), "h");
  }
}

TEST_F(Resolution, SlashRedirectNeverWritesIntoTheNextRequest) {
  use_vdirs();
  // No version and a bare LF: the byte after the target's end starts the next request.
  std::string text = "GET /docs\nGET /x HTTP/1.1\r\n\r\n";
  ParsedRequest parsed(text);
  ASSERT_TRUE(parsed.request.valid);
  Outcome out = resolve(parsed);
  EXPECT_EQ(out.result, -1);
  EXPECT_EQ(out.redirect, 0) << "no room: answered 500, not redirected";
  EXPECT_EQ(std::string(parsed.start + 10), "GET /x HTTP/1.1\r\n\r\n");
}

TEST(CollapseLeadingSlashes, LocationsNeverStartWithTwoSlashes) {
  struct Case {
    const char* label;
    const char* text;
    const char* expected;
  } cases[] = {
      {"single slash kept", "/docs/", "/docs/"},
      {"double slash", "//evil.example/", "/evil.example/"},
      {"slash backslash", "/\\evil.example/", "/evil.example/"},
      {"long run", "/\\//\\\\x", "/x"},
      {"only slashes", "///", "/"},
      {"later doubles stay", "/a//b", "/a//b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string text = c.text;
    EXPECT_STREQ(collapse_leading_slashes(text.data()), c.expected);
  }
}

TEST_F(Resolution, PathThatDoesNotFitFails) {
  use_vdirs();
  struct Case {
    const char* label;
    std::u16string root;
    std::string target;
    uint64_t capacity;
    int result;
  } cases[] = {
      {"root as long as the buffer", std::u16string(16, u'r'), "/a", 16, -1},
      {"root fits, target does not", std::u16string(10, u'r'), "/abcdef", 16, -1},
      {"root and target just fit", std::u16string(10, u'r'), "/abcd", 16, 0},
      {"relative vdir path does not fit", std::u16string(8, u'r'), "/docs/x", 16, -1},
      {"absolute vdir ignores the long root", std::u16string(20, u'r'), "/media/x", 16, 0},
      {"long root in a real buffer", std::u16string(8000, u'r'), "/" + std::string(300, 'a'), 8192, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    set_root(c.root);
    ParsedRequest parsed(get(c.target));
    Outcome out = resolve(parsed, c.capacity);
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.redirect, 0);
  }
}

TEST(UrlDecode, LimitsAndResults) {
  std::vector<char16_t> out(9000);
  struct Case {
    const char* label;
    std::string text;
    uint64_t units;
    uint64_t result;
  } cases[] = {
      {"8191 bytes decode", std::string(8191, 'a'), 9000, 8191},
      {"8192 bytes fail", std::string(8192, 'a'), 9000, 0},
      {"8191 decoded from escapes", std::string(8190, 'a') + "%41", 9000, 8191},
      {"8192 decoded from escapes", std::string(8191, 'a') + "%41", 9000, 0},
      {"empty fails", "", 16, 0},
      {"decoded NUL first fails", "%00abc", 16, 0},
      {"fits with its terminator", "abc", 4, 3},
      {"no room for the terminator", "abc", 3, 0},
      {"no units", "abc", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(url_decode(out.data(), c.units, c.text.c_str()), c.result);
  }
  ASSERT_EQ(url_decode(out.data(), 16, "%41%62%ff%4%"), 8u);
  EXPECT_EQ(std::u16string(out.data()), u"Ab%ff%4%");
}

// A control byte in the path, as it is or decoded, names no file: 400.
TEST(TargetControl, RawAndDecodedControlBytesAreRefused) {
  struct Case {
    const char* label;
    const char* target;
    bool refused;
  } cases[] = {
      {"plain", "/a b.txt", false},
      {"escaped blank", "/a%20b.txt", false},
      {"decoded NUL inside", "/a%20b.txt%00.html", true},
      {"decoded NUL first", "/%00.txt", true},
      {"unit separator", "/a%1fb", true},
      {"upper-case hex", "/a%1Fb", true},
      {"DEL", "/a%7f", true},
      {"tab as it is", "/a\tb", true},
      {"escape as it is", "/a\x1b[31m", true},
      {"raw DEL", "/a\x7f", true},
      {"%20 is no control", "/%20", false},
      {"UTF-8 bytes", "/m%C3%BCsik", false},
      {"%FF stays literal", "/%ff", false},
      {"broken escapes", "/%4%g0%", false},
      {"an escaped percent then digits", "/%2500", false},
  };
  for (const Case& c : cases) EXPECT_EQ(target_decodes_to_control(c.target), c.refused) << c.label;
  EXPECT_FALSE(target_decodes_to_control(nullptr));
}

TEST(HostHash, BytesFoldedEightAtATime) {
  struct Case {
    const char* label;
    std::string name;
    uint64_t hash;
  } cases[] = {
      {"empty", "", 0},
      {"one byte", "a", 0x61},
      {"one word", "abcdefgh", 0x6867666564636261},
      {"bytes 8 and 9 rotated and offset", "abcdefghij", 0x686766656463cdff},
      {"negative byte shifts arithmetically", "abcdefgh\xc3", 0x6867666564636265},
      {"three words", "www.example.com:1", 0xdf857b27c317b849},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(host_hash(c.name.data(), c.name.size()), c.hash);
  }
}

// The upgrade with the certificate out of the way: cert_valid is false, so
// every fresh check answers false and only a cached verdict can say true.
class Upgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_upgrade_ = effective.upgrade_https.load();
    saved_cert_ = cert_valid.load();
    effective.upgrade_https = true;
    cert_valid = false;
    task_ = std::make_unique<Z_TASK>();
    send_.assign(4096, '\0');
    task_->response.p_write = send_.data();
    task_->response.size_write = send_.size();
  }
  void TearDown() override {
    effective.upgrade_https = saved_upgrade_;
    cert_valid = saved_cert_;
  }

  static std::string request_for(const std::string& host, const std::string& target = "/p?q") {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUpgrade-Insecure-Requests: 1\r\n\r\n";
  }
  bool upgrade(ParsedRequest& parsed) {
    task_->request = parsed.request;
    return upgrade_to_https(*task_, parsed.start);
  }

  bool saved_upgrade_ = false;
  bool saved_cert_ = false;
  std::unique_ptr<Z_TASK> task_;
  std::vector<char> send_;
};

TEST_F(Upgrade, CachedVerdictAnswersWithoutACheck) {
  task_->host_verdict = host_hash("host", 4) | 1;
  ParsedRequest first(request_for("host:8080"));
  ASSERT_TRUE(upgrade(first));
  EXPECT_STREQ(first.start, "https://host:8080/p?q");
  EXPECT_EQ(task_->response.over_tls, 0);

  ParsedRequest again(request_for("host", "/a/b"));
  ASSERT_TRUE(upgrade(again)) << "same name, other port: the cache answers";
  EXPECT_STREQ(again.start, "https://host/a/b");
  EXPECT_EQ(task_->host_verdict, host_hash("host", 4) | 1);

  ParsedRequest other(request_for("other"));
  EXPECT_FALSE(upgrade(other)) << "a new name is checked, and cert_valid is false";
  EXPECT_EQ(task_->host_verdict, host_hash("other", 5) & ~uint64_t{1});
  EXPECT_EQ(std::string(other.request.target), "/p") << "no redirect leaves the request as it was";

  ParsedRequest back(request_for("host"));
  EXPECT_FALSE(upgrade(back)) << "the cache now holds the other name";
}

TEST_F(Upgrade, OnlyWhenEveryConditionHolds) {
  ParsedRequest plain(request_for("host"));
  task_->host_verdict = host_hash("host", 4) | 1;
  effective.upgrade_https = false;
  EXPECT_FALSE(upgrade(plain)) << "upgrade_https off";
  effective.upgrade_https = true;

  ParsedRequest no_header("GET /p HTTP/1.1\r\nHost: host\r\n\r\n");
  EXPECT_FALSE(upgrade(no_header)) << "no Upgrade-Insecure-Requests";

  ParsedRequest control(request_for("host", "/p?a\tb"));
  ASSERT_TRUE(control.request.valid);
  EXPECT_FALSE(upgrade(control)) << "a control byte in the target never reaches a Location";

  ParsedRequest small(request_for("host"));
  task_->response.size_write = 3;
  EXPECT_FALSE(upgrade(small)) << "Host longer than a send half";
}

// Only a host[:port] reaches a Location. The cache is primed with a yes:
// for the right name where the Host is good, for a name that a careless
// split would give where it is not, so that a refusal comes from the Host's
// form alone. An IPv6 address keeps its brackets, its port follows the ']',
// and the cache holds it whole.
TEST_F(Upgrade, OnlyAHostAndPortIsRedirected) {
  struct Case {
    const char* label;
    std::string host;
    std::string name;  // what the verdict is cached for
    bool redirected;
  } cases[] = {
      {"name and port", "host:8080", "host", true},
      {"dotted address and port", "127.0.0.1:8443", "127.0.0.1", true},
      {"bracketed address and port", "[::1]:8443", "[::1]", true},
      {"bracketed address alone", "[::1]", "[::1]", true},
      {"bracketed address with an IPv4 tail", "[::ffff:192.0.2.7]:80", "[::ffff:192.0.2.7]", true},
      {"bracketed address cut at its first ':'", "[::1]:8443", "[", false},
      {"bracket not closed", "[::1:8443", "[", false},
      {"text after the bracket", "[::1]x", "[", false},
      {"no ':' in the brackets", "[127.0.0.1]", "[127.0.0.1]", false},
      {"letters beyond hex in the brackets", "[::g]", "[", false},
      {"bracket inside a name", "ho[st]:80", "ho[st]", false},
      {"port that is no number", "host:80x", "host", false},
      {"second port", "host:80:81", "host", false},
      {"port alone", ":8080", "", false},
      {"slash", "ho/st", "ho/st", false},
      {"at sign", "user@host", "user@host", false},
      {"space", "ho st", "ho st", false},
      {"quote", "ho\"st", "ho\"st", false},
      {"tab", "ho\tst", "ho\tst", false},
      {"empty", "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ParsedRequest parsed(request_for(c.host));
    ASSERT_TRUE(parsed.request.valid);
    task_->host_verdict = host_hash(c.name.data(), c.name.size()) | 1;
    EXPECT_EQ(upgrade(parsed), c.redirected);
    if (c.redirected) {
      EXPECT_EQ(std::string(parsed.start), "https://" + c.host + "/p?q");
    }
  }
}

}  // namespace
