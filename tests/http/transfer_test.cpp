#include "http/transfer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "content/mime.h"
#include "content/resources.h"
#include "core/engine.h"
#include "os/event.h"
#include "os/memory.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t half_size = 262144;
constexpr uint32_t path_units = 8192;

// Every byte tells its offset: no two windows of a fixture look alike, so a
// misplaced skip or a lost chunk shows in the bytes.
char pattern_byte(uint64_t offset) {
  uint64_t x = offset * 0x9E3779B97F4A7C15ull;
  return static_cast<char>((x >> 29) ^ (offset >> 16));
}

std::string pattern(uint64_t first, uint64_t size) {
  std::string bytes(size, '\0');
  for (uint64_t i = 0; i < size; ++i) bytes[i] = pattern_byte(first + i);
  return bytes;
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// utimensat takes any 64-bit time; the library clocks would overflow for
// times far from now.
void set_mtime(const std::string& path, int64_t unix_seconds, int64_t nanoseconds = 0) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = unix_seconds;
  times[0].tv_nsec = times[1].tv_nsec = nanoseconds;
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct z_reply {
  bool result = false;
  std::string raw;
  std::string head;
  std::string body;
  bool has_header(const std::string& line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
  std::string value(const std::string& name) const {
    size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
  }
  std::string status() const { return head.substr(0, head.find("\r\n")); }
};

// A slot with real halves and a send thread that records what it is given.
struct Transfer : ::testing::Test {
  std::unique_ptr<Z_TASK> task{new Z_TASK()};
  char* block = nullptr;
  std::thread sender;
  std::atomic<bool> stop{false};
  std::string sent;
  std::vector<char16_t> path_buffer = std::vector<char16_t>(path_units);
  std::vector<char> recv;
  std::string root;

  void SetUp() override {
    char name[] = "/tmp/qm_transfer_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root = name;
    block = static_cast<char*>(os::aligned_allocate(2 * half_size, 4096));
    ASSERT_NE(block, nullptr);
    Z_RESPONSE& response = task->response;
    response.send_base = block;
    response.p_write = block;
    response.size_write = half_size;
    os::event_create(response.done_event, false, true);
    os::event_create(response.send_event, false, false);
    os::event_create(response.file_event, false, false);
    sender = std::thread([this] {
      Z_RESPONSE& r = task->response;
      for (;;) {
        os::event_wait(r.send_event, os::wait_forever);
        if (stop) return;
        sent.append(r.p_send, r.size_send);
        os::event_set(r.done_event);
      }
    });
  }

  void TearDown() override {
    stop = true;
    os::event_set(task->response.send_event);
    sender.join();
    os::aligned_free(block);
    effective.min_gz = false;
    effective.list_directories = false;
    std::system(("rm -rf '" + root + "'").c_str());
  }

  void make(const std::string& name, const std::string& bytes) const {
    fs::create_directories(fs::path(root + "/" + name).parent_path());
    FILE* f = std::fopen((root + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  void make(const std::string& name, const std::string& bytes, int64_t mtime, int64_t nanoseconds = 0) const {
    make(name, bytes);
    set_mtime(root + "/" + name, mtime, nanoseconds);
  }

  // Parses text as the request, resolves its target below root and runs
  // send_file; the path must come back as it was.
  z_reply run(const std::string& text, int32_t forced_type = -1) {
    recv.assign(text.begin(), text.end());
    recv.resize(text.size() + 16, '\0');
    Z_REQUEST& request = task->request;
    clear_request(request);
    parse_request(request, recv.data(), text.size(), recv.data() + recv.size() - 1);
    EXPECT_TRUE(request.valid) << text;
    z_reply reply;
    if (!request.valid) return reply;
    Z_PATH& path = task->response.path;
    std::u16string full = u16(root) + u16(request.target);
    full.copy(path_buffer.data(), full.size());
    path_buffer[full.size()] = 0;
    path.buffer = path_buffer.data();
    path.prefix_size = root.size();
    path.rest = path.buffer + root.size();
    path.end = path.buffer + full.size();
    path.rest_size = full.size() - root.size();
    path.capacity = path_units;
    path.type = forced_type >= 0 ? static_cast<uint32_t>(forced_type) : lookup_mime_type(path.rest, path.end);
    sent.clear();
    reply.result = send_file(*task);
    // The last send has ended once the channel is free again.
    os::event_wait(task->response.done_event, os::wait_forever);
    os::event_set(task->response.done_event);
    EXPECT_EQ(std::u16string(path.buffer), full) << "path restored";
    EXPECT_EQ(path.end, path.buffer + full.size());
    reply.raw = sent;
    size_t end = sent.find("\r\n\r\n");
    if (sent.rfind("HTTP/1.1 ", 0) == 0 && end != std::string::npos) {
      reply.head = sent.substr(0, end + 2);
      reply.body = sent.substr(end + 4);
    } else {
      reply.body = sent;
    }
    return reply;
  }

  z_reply get(const std::string& target, const std::string& headers = "") {
    return run("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n" + headers + "\r\n");
  }
};

TEST_F(Transfer, WholeFileAndHead) {
  make("a.txt", pattern(0, 1000));
  z_reply reply = get("/a.txt");
  EXPECT_TRUE(reply.result);
  EXPECT_EQ(reply.status(), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.value("Content-Length"), "1000");
  EXPECT_EQ(reply.value("Content-Type"), "text/plain");
  EXPECT_TRUE(reply.has_header("Accept-Ranges: bytes"));
  EXPECT_TRUE(reply.has_header("Connection: keep-alive"));
  EXPECT_EQ(reply.value("Vary"), "") << "no Vary without min_gz";
  EXPECT_EQ(reply.body, pattern(0, 1000));

  reply = run("HEAD /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(reply.value("Content-Length"), "1000");
  EXPECT_EQ(reply.body, "") << "HEAD sends the header only";
  EXPECT_TRUE(reply.has_header("Connection: close"));
}

// The range rule itself has its table in conditions_test; these rows check
// that the transfer sends what it says.
TEST_F(Transfer, RangesOnSmallFile) {
  make("k.bin", pattern(0, 1000));
  struct row {
    const char* label;
    const char* range;
    const char* status;
    uint64_t first;
    uint64_t last;
  };
  const row rows[] = {
      {"first hundred", "0-99", "206 Partial Content", 0, 99},
      {"open end", "900-", "206 Partial Content", 900, 999},
      {"suffix", "-100", "206 Partial Content", 900, 999},
      {"first byte", "0-0", "206 Partial Content", 0, 0},
      {"end clamped", "500-5000", "206 Partial Content", 500, 999},
      {"suffix longer than file", "-5000", "206 Partial Content", 0, 999},
      {"last byte", "999-999", "206 Partial Content", 999, 999},
      {"end before start: no range", "600-500", "200 OK", 0, 999},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    z_reply reply = get("/k.bin", std::string("Range: bytes=") + r.range + "\r\n");
    uint64_t size = r.last - r.first + 1;
    EXPECT_EQ(reply.status(), std::string("HTTP/1.1 ") + r.status);
    bool partial = reply.status().find("206") != std::string::npos;
    EXPECT_EQ(reply.value("Content-Range"),
              partial ? "bytes " + std::to_string(r.first) + "-" + std::to_string(r.last) + "/1000" : "");
    EXPECT_EQ(reply.value("Content-Length"), std::to_string(size));
    EXPECT_EQ(reply.body, pattern(r.first, size));
  }
  // Not satisfiable: the size, and nothing of the file.
  for (const char* range : {"1000-", "4000-5000", "-0"}) {
    SCOPED_TRACE(range);
    z_reply reply = get("/k.bin", std::string("Range: bytes=") + range + "\r\n");
    EXPECT_EQ(reply.status(), "HTTP/1.1 416 Requested Range Not Satisfiable");
    EXPECT_EQ(reply.value("Content-Range"), "bytes */1000");
    EXPECT_EQ(reply.value("Content-Length"), "0");
    EXPECT_EQ(reply.raw.size(), reply.head.size() + 2) << "no content after the header";
    EXPECT_TRUE(reply.result);
    EXPECT_EQ(task->request.keep_alive, 1) << "the connection goes on";
  }
}

// Ranges around 2^31 and 2^32 on sparse files, through the whole transfer:
// every size's last bytes, and bytes that straddle each boundary.
TEST_F(Transfer, RangesAroundTwoAndFourGiB) {
  const uint64_t sizes[] = {(1ull << 31) - 1, 1ull << 31, (1ull << 31) + 1,
                            (1ull << 32) - 1, 1ull << 32, (1ull << 32) + 1};
  auto sparse = [this](const std::string& name, uint64_t size, std::vector<std::pair<uint64_t, std::string>> marks) {
    int fd = ::open((root + "/" + name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    for (const auto& [at, bytes] : marks)
      ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  };
  for (uint64_t size : sizes) {
    std::string name = "s" + std::to_string(size) + ".bin";
    SCOPED_TRACE(name);
    sparse(name, size, {{size - 4, "WXYZ"}});
    const std::string total = "/" + std::to_string(size);
    struct row {
      std::string range, content_range, body;
    };
    const row rows[] = {
        {"-4", "bytes " + std::to_string(size - 4) + "-" + std::to_string(size - 1) + total, "WXYZ"},
        {std::to_string(size - 2) + "-", "bytes " + std::to_string(size - 2) + "-" + std::to_string(size - 1) + total,
         "YZ"},
        {std::to_string(size - 4) + "-" + std::to_string(size + 100),
         "bytes " + std::to_string(size - 4) + "-" + std::to_string(size - 1) + total, "WXYZ"},
    };
    for (const row& r : rows) {
      z_reply reply = get("/" + name, "Range: bytes=" + r.range + "\r\n");
      EXPECT_EQ(reply.status(), "HTTP/1.1 206 Partial Content") << r.range;
      EXPECT_EQ(reply.value("Content-Range"), r.content_range) << r.range;
      EXPECT_EQ(reply.body, r.body) << r.range;
    }
    z_reply past = get("/" + name, "Range: bytes=" + std::to_string(size) + "-\r\n");
    EXPECT_EQ(past.status(), "HTTP/1.1 416 Requested Range Not Satisfiable");
    EXPECT_EQ(past.value("Content-Range"), "bytes */" + std::to_string(size));
    EXPECT_EQ(past.body, "");
  }
  const uint64_t size = (1ull << 32) + 2;
  sparse("straddle.bin", size, {{(1ull << 31) - 2, "abcd"}, {(1ull << 32) - 2, "efgh"}});
  struct row {
    uint64_t first;
    const char* body;
  };
  for (const row& r : {row{(1ull << 31) - 2, "abcd"}, row{(1ull << 32) - 2, "efgh"}}) {
    z_reply reply = get("/straddle.bin", "Range: bytes=" + std::to_string(r.first) + "-" +
                                             std::to_string(r.first + 3) + "\r\n");
    EXPECT_EQ(reply.value("Content-Range"), "bytes " + std::to_string(r.first) + "-" + std::to_string(r.first + 3) +
                                                "/" + std::to_string(size));
    EXPECT_EQ(reply.body, r.body);
  }
}

// A range counts bytes of the file itself, whichever codings the client takes.
TEST_F(Transfer, RangesAreOfTheFileItselfNeverOfAVariant) {
  effective.min_gz = true;
  make("r/app.js", "plain bytes of the file", 1000);
  make("r/app.js.gz", "GZ variant", 2000);
  make("r/app.js.br", "BR variant", 2000);
  z_reply whole = get("/r/app.js", "Accept-Encoding: gzip, br\r\n");
  EXPECT_EQ(whole.body, "BR variant");
  z_reply part = get("/r/app.js", "Accept-Encoding: gzip, br\r\nRange: bytes=6-10\r\n");
  EXPECT_EQ(part.status(), "HTTP/1.1 206 Partial Content");
  EXPECT_EQ(part.value("Content-Encoding"), "");
  EXPECT_EQ(part.value("Content-Range"), "bytes 6-10/23");
  EXPECT_EQ(part.body, "bytes");
  z_reply ignored = get("/r/app.js", "Accept-Encoding: gzip\r\nRange: bytes=10-6\r\n");
  EXPECT_EQ(ignored.status(), "HTTP/1.1 200 OK") << "an invalid range is no range";
  EXPECT_EQ(ignored.body, "GZ variant");
}

TEST_F(Transfer, RangesOnLargeFileSkipToTheirStart) {
  const uint64_t size = 1048576;
  make("big.bin", pattern(0, size));
  struct row {
    const char* label;
    uint64_t first;
    uint64_t last;
  };
  const row rows[] = {
      {"ten bytes after an aligned read", 70000, 70009},
      {"across several halves", 130000, 700000},
      {"aligned start", 65536, 65536 + 9},
      {"to the end", 1000000, size - 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    z_reply reply =
        get("/big.bin", "Range: bytes=" + std::to_string(r.first) + "-" + std::to_string(r.last) + "\r\n");
    EXPECT_EQ(reply.status(), "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(reply.value("Content-Range"),
              "bytes " + std::to_string(r.first) + "-" + std::to_string(r.last) + "/" + std::to_string(size));
    EXPECT_EQ(reply.body.size(), r.last - r.first + 1);
    EXPECT_TRUE(reply.body == pattern(r.first, r.last - r.first + 1));
  }
}

TEST_F(Transfer, EmptyFile) {
  make("empty.txt", "");
  z_reply reply = get("/empty.txt");
  EXPECT_EQ(reply.status(), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.value("Content-Length"), "0");
  EXPECT_EQ(reply.body, "");

  reply = get("/empty.txt", "Range: bytes=0-\r\n");
  EXPECT_EQ(reply.status(), "HTTP/1.1 416 Requested Range Not Satisfiable");
  EXPECT_EQ(reply.value("Content-Range"), "bytes */0");
  EXPECT_EQ(reply.value("Content-Length"), "0");
  EXPECT_EQ(reply.body, "");
}

// The rule has its table in conditions_test; here curl's form (-z) and the
// dates a file's fraction of a second must not spoil, through the transfer.
TEST_F(Transfer, IfModifiedSinceIsATime) {
  make("m.txt", pattern(0, 300), 1638924875, 600000000);  // Wed, 08 Dec 2021 00:54:35.6 GMT
  z_reply plain = get("/m.txt");
  EXPECT_EQ(plain.value("Last-Modified"), "Wed, 08 Dec 2021 00:54:35 GMT");
  struct row {
    const char* label;
    const char* since;
    bool not_modified;
  };
  const row rows[] = {
      {"its own Last-Modified", "Wed, 08 Dec 2021 00:54:35 GMT", true},
      {"as written before, one-digit day and hour", "WED, 8 DEC 2021 0:54:35 GMT", true},
      {"a later date", "Thu, 09 Dec 2021 00:54:35 GMT", true},
      {"a second earlier", "Wed, 08 Dec 2021 00:54:34 GMT", false},
      {"RFC 850", "Wednesday, 08-Dec-21 00:54:35 GMT", true},
      {"asctime", "Wed Dec  8 00:54:35 2021", true},
      {"in the future", "Fri, 01 Jan 9999 00:00:00 GMT", false},
      {"no date", "yesterday", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    z_reply reply = get("/m.txt", std::string("If-Modified-Since: ") + r.since + "\r\n");
    EXPECT_EQ(reply.status(), r.not_modified ? "HTTP/1.1 304 Not Modified" : "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.body, r.not_modified ? "" : pattern(0, 300));
  }
}

TEST_F(Transfer, DownloadAndSimpleRequest) {
  make("file.bin", pattern(0, 5000));
  make("page.htm", pattern(0, 700));
  z_reply download = get("/page.htm?download");
  EXPECT_EQ(download.value("Content-Type"), "application/octet-stream");
  EXPECT_EQ(download.body, pattern(0, 700));

  z_reply simple = run("GET /file.bin\n");
  EXPECT_TRUE(simple.result);
  EXPECT_EQ(simple.head, "");
  EXPECT_TRUE(simple.raw == pattern(0, 5000)) << "the bytes alone, no status line or header";
}

TEST_F(Transfer, NotFoundBlockedAndFavicon) {
  make("blocked.cfg", "secret");
  z_reply missing = get("/nothing.txt");
  EXPECT_FALSE(missing.result);
  EXPECT_EQ(missing.status(), "HTTP/1.1 404 Not Found");
  EXPECT_TRUE(missing.has_header("Connection: keep-alive")) << "a 404 keeps the connection";
  EXPECT_EQ(task->request.keep_alive, 1);

  z_reply blocked = run("GET /blocked.cfg HTTP/1.1\r\nHost: x\r\n\r\n", mime_blocked);
  EXPECT_EQ(blocked.status(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(blocked.body.find("secret"), std::string::npos);

  z_reply icon = get("/favicon.ico");
  EXPECT_TRUE(icon.result);
  EXPECT_EQ(icon.status(), "HTTP/1.1 200 OK");
  EXPECT_EQ(icon.body.size(), favicon_resource()->size) << "the built-in icon";

  make("favicon.ico", "own icon");
  EXPECT_EQ(get("/favicon.ico").body, "own icon");
}

TEST_F(Transfer, IndexFilesAndDirectories) {
  make("both/index.htm", "htm");
  make("both/index.html", "html");
  make("html/index.html", "html only");
  fs::create_directories(root + "/none");
  EXPECT_EQ(get("/both/").body, "htm");
  EXPECT_EQ(get("/html/").body, "html only");

  z_reply off = get("/none/");
  EXPECT_EQ(off.status(), "HTTP/1.1 404 Not Found") << "listing switched off";

  effective.list_directories = true;
  z_reply listed = get("/none/");
  EXPECT_EQ(listed.status(), "HTTP/1.1 200 OK");
  EXPECT_FALSE(task->response.in_config_use) << "the gate is left after the listing";
}

// Each row gets its own folder; times are Unix seconds (and nanoseconds).
TEST_F(Transfer, VariantsWithMinGz) {
  struct file {
    const char* name;
    const char* bytes;
    int64_t mtime;
    int64_t nanoseconds = 0;
  };
  struct row {
    const char* label;
    std::vector<file> files;
    const char* target;
    const char* headers;
    const char* body;
    const char* encoding;
    const char* type;
  };
  const char* both = "Accept-Encoding: gzip, br\r\n";
  const std::vector<row> rows = {
      {"br newer", {{"app.js", "plain", 1000}, {"app.js.br", "BR", 2000}, {"app.js.gz", "GZ", 2000}},
       "/app.js", both, "BR", "br", "application/javascript"},
      {"br as old", {{"app.js", "plain", 1000}, {"app.js.br", "BR", 1000}}, "/app.js", both, "BR", "br",
       "application/javascript"},
      {"br older, gz tried", {{"app.js", "plain", 1000}, {"app.js.br", "BR", 500}, {"app.js.gz", "GZ", 1000}},
       "/app.js", both, "GZ", "gzip", "application/javascript"},
      {"br only accepted never gets gz",
       {{"app.js", "plain", 1000}, {"app.js.br", "BR", 500}, {"app.js.gz", "GZ", 1000}}, "/app.js",
       "Accept-Encoding: br\r\n", "plain", "", "application/javascript"},
      {"no compressed, minified", {{"app.js", "plain", 1000}, {"app.min.js", "MIN", 1000}}, "/app.js", both,
       "MIN", "", "application/javascript"},
      {"stale minified ignored", {{"site.css", "plain", 1000}, {"site.min.css", "MIN", 10}}, "/site.css", both,
       "plain", "", "text/css"},
      {"never min.min", {{"site.min.css", "plain", 1000}, {"site.min.min.css", "MINMIN", 2000}},
       "/site.min.css", both, "plain", "", "text/css"},
      {"plain missing, gz served", {{"app.js.gz", "GZ", 1000}}, "/app.js", "Accept-Encoding: gzip\r\n", "GZ",
       "gzip", "application/javascript"},
      {"webp accepted", {{"photo.png", "PNG", 1000}, {"photo.png.webp", "WEBP", 1000}}, "/photo.png",
       "Accept: image/webp,*/*\r\n", "WEBP", "", "image/webp"},
      {"webp not accepted", {{"photo.png", "PNG", 1000}, {"photo.png.webp", "WEBP", 1000}}, "/photo.png",
       "Accept: image/png\r\n", "PNG", "", "image/png"},
      {"stale webp", {{"photo.png", "PNG", 1000}, {"photo.png.webp", "WEBP", 999}}, "/photo.png",
       "Accept: image/webp\r\n", "PNG", "", "image/png"},
      {"upper-case extension", {{"photo.PNG", "PNG", 1000}, {"photo.PNG.webp", "WEBP", 2000}}, "/photo.PNG",
       "Accept: image/webp\r\n", "PNG", "", "image/png"},
      {"already compressed", {{"app.js.gz", "GZ", 1000}, {"app.js.gz.br", "BRGZ", 2000}}, "/app.js.gz",
       both, "GZ", "", "application/gzip"},
      {"brotli -k keeps whole seconds of its source", {{"app.js", "plain", 1000, 700000000}, {"app.js.br", "BR", 1000}},
       "/app.js", both, "BR", "br", "application/javascript"},
      {"gzip keeps the nanoseconds", {{"app.js", "plain", 1000, 700000000}, {"app.js.gz", "GZ", 1000, 700000000}},
       "/app.js", "Accept-Encoding: gzip\r\n", "GZ", "gzip", "application/javascript"},
      {"a second older is stale", {{"app.js", "plain", 1001}, {"app.js.br", "BR", 1000, 999999999}}, "/app.js",
       both, "plain", "", "application/javascript"},
      {"gzip refused with q=0", {{"app.js", "plain", 1000}, {"app.js.gz", "GZ", 2000}}, "/app.js",
       "Accept-Encoding: gzip;q=0\r\n", "plain", "", "application/javascript"},
      {"x-gzip is gzip", {{"app.js", "plain", 1000}, {"app.js.gz", "GZ", 2000}}, "/app.js",
       "Accept-Encoding: x-gzip\r\n", "GZ", "gzip", "application/javascript"},
      {"a longer name is no coding", {{"app.js", "plain", 1000}, {"app.js.gz", "GZ", 2000}, {"app.js.br", "BR", 2000}},
       "/app.js", "Accept-Encoding: x-gzipped, xbrowser\r\n", "plain", "", "application/javascript"},
      {"webp refused with q=0", {{"photo.png", "PNG", 1000}, {"photo.png.webp", "WEBP", 1000}}, "/photo.png",
       "Accept: image/webp;q=0, */*\r\n", "PNG", "", "image/png"},
  };
  effective.min_gz = true;
  int index = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    std::string folder = "/row" + std::to_string(index++);
    for (const file& f : r.files) make(folder.substr(1) + "/" + f.name, f.bytes, f.mtime, f.nanoseconds);
    z_reply reply = get(folder + r.target, r.headers);
    EXPECT_EQ(reply.status(), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.body, r.body);
    EXPECT_EQ(reply.value("Content-Encoding"), r.encoding);
    if (std::strcmp(r.type, "application/gzip") != 0) {
      EXPECT_EQ(reply.value("Content-Type"), r.type);
    }
    EXPECT_EQ(reply.value("Vary"), "Accept-Encoding, Accept");
    EXPECT_EQ(task->response.encoding_br + task->response.encoding_gzip, 0)
        << "Content-Encoding does not stick to the slot";
  }

  effective.min_gz = false;
  make("off/app.js", "plain", 1000);
  make("off/app.js.br", "BR", 2000);
  z_reply off = get("/off/app.js", both);
  EXPECT_EQ(off.body, "plain") << "variants only with min_gz";
}

TEST_F(Transfer, VaryOnConditionalAndPartialAnswers) {
  effective.min_gz = true;
  make("v.txt", pattern(0, 100), 1638924875);
  EXPECT_EQ(get("/v.txt", "Range: bytes=0-9\r\n").value("Vary"), "Accept-Encoding, Accept");
  z_reply cached = get("/v.txt", "If-Modified-Since: Wed, 08 Dec 2021 00:54:35 GMT\r\n");
  EXPECT_EQ(cached.status(), "HTTP/1.1 304 Not Modified");
  EXPECT_EQ(cached.value("Vary"), "Accept-Encoding, Accept");
}

TEST_F(Transfer, LargeFilesAreQueuedOnlyWhenSentWhole) {
  const uint64_t limit = queued_file_size;
  make("limit.bin", pattern(0, limit));
  make("above.bin", pattern(0, limit + 1));
  struct row {
    const char* label;
    const char* name;
    bool range;
    bool queued;
  };
  const row rows[] = {
      {"at the limit", "limit.bin", false, false},
      {"one byte above", "above.bin", false, true},
      {"above, with a range", "above.bin", true, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    std::u16string full = u16(root + "/" + r.name);
    full.copy(path_buffer.data(), full.size());
    path_buffer[full.size()] = 0;
    Z_PATH path;
    path.buffer = path_buffer.data();
    path.rest = path.buffer + root.size();
    path.end = path.buffer + full.size();
    path.rest_size = full.size() - root.size();
    path.capacity = path_units;
    path.type = mime_octet_stream;
    Z_TRANSFER t;
    t.path = &path;
    t.range = r.range;
    open_file(t);
    EXPECT_TRUE(t.found);
    EXPECT_EQ(t.queued, r.queued);
  }

  z_reply whole = get("/above.bin");
  EXPECT_TRUE(whole.result);
  EXPECT_EQ(whole.value("Content-Length"), std::to_string(limit + 1));
  EXPECT_TRUE(whole.body == pattern(0, limit + 1)) << "intact through the unbuffered reads";
}

TEST_F(Transfer, OddModificationTimes) {
  struct row {
    const char* label;
    int64_t mtime;
  };
  const row rows[] = {
      {"the Unix epoch", 0},
      {"before 1970", -1000000000},
      {"before 1601", -12000000000},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    make("old.txt", pattern(0, 50), r.mtime);
    z_reply reply = get("/old.txt");
    EXPECT_EQ(reply.status(), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.body, pattern(0, 50));
    std::string stamp = reply.value("Last-Modified");
    EXPECT_NE(stamp, "");
    EXPECT_EQ(get("/old.txt", "If-Modified-Since: " + stamp + "\r\n").status(), "HTTP/1.1 304 Not Modified");
  }
}

TEST(ReadQueue, ReadersTakeTurns) {
  os::z_event second_event;
  os::event_create(second_event, false, false);
  os::z_event first_event;
  os::event_create(first_event, false, false);
  ASSERT_TRUE(read_queue_enter(&first_event)) << "an empty queue lets the reader go on";
  std::atomic<bool> second_reading{false};
  std::thread second([&] {
    read_queue_enter(&second_event);
    second_reading = true;
    read_queue_leave();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(second_reading) << "the second reader waits for its turn";
  read_queue_leave();
  second.join();
  EXPECT_TRUE(second_reading);
  EXPECT_TRUE(read_queue_enter(&first_event)) << "the queue is empty again";
  read_queue_leave();
  os::event_close(first_event);
  os::event_close(second_event);
}

// A reader that arrives while a woken reader reads waits its turn, and the
// one after it is woken in turn: no reader is left waiting (such a reader
// kept its slot, socket and file for ever).
TEST(ReadQueue, EveryWaiterIsWokenInTurn) {
  constexpr int readers = 4;
  os::z_event events[readers];
  for (os::z_event& e : events) os::event_create(e, false, false);
  std::atomic<int> reading{0}, done{0}, most{0};
  auto read = [&](int i) {
    read_queue_enter(&events[i]);
    int now = ++reading;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    --reading;
    read_queue_leave();
    ++done;
  };
  // Reads take 30 ms: the second reader waits for the first; the third
  // arrives while the second, woken, reads; the fourth while the third waits.
  const int arrive_ms[readers] = {0, 10, 40, 50};
  std::vector<std::thread> threads;
  for (int i = 0; i < readers; ++i) {
    threads.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(arrive_ms[i]));
      read(i);
    });
  }
  for (int waited = 0; done < readers && waited < 2000; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(done.load(), readers) << "a reader was never woken";
  EXPECT_EQ(most.load(), 1) << "readers take turns";
  // Release any reader left waiting, so that the test ends either way.
  for (os::z_event& e : events) os::event_set(e);
  for (std::thread& t : threads) t.join();
  for (os::z_event& e : events) os::event_close(e);
}

}  // namespace
}  // namespace qm
