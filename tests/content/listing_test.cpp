// Directory listings driven through a slot: the page arrives at a stand-in of
// the send thread, whole with Content-Length (and ranges) or as chunks.
#include "content/listing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "content/header.h"
#include "core/engine.h"
#include "os/file.h"
#include "os/memory.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t block_size = 524288;
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t guard_size = 0;  // the sanitizer itself catches writes past the block
#else
constexpr uint64_t guard_size = 4096;  // a canary area after the second half
#endif

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string utf8(const char16_t* text) {
  char out[1024];
  return utf16_to_utf8(out, sizeof out, text) == 0 ? std::string() : std::string(out);
}

struct z_reply {
  std::string head;  // up to and including the blank line
  std::string body;  // the bytes after it, as sent
  bool chunked() const { return head.find("Transfer-Encoding: chunked\r\n") != std::string::npos; }
};

z_reply split(const std::string& wire) {
  size_t end = wire.find("\r\n\r\n");
  if (end == std::string::npos) return {"", wire};
  return {wire.substr(0, end + 4), wire.substr(end + 4)};
}

// The header without its Date line, which may differ between two replies.
std::string without_date(std::string head) {
  size_t at = head.find("Date: ");
  if (at != std::string::npos) head.erase(at, head.find("\r\n", at) + 2 - at);
  return head;
}

// Decodes chunked framing; false when the framing is broken or the zero
// chunk is missing or not last.
bool unchunk(const std::string& body, std::string& out) {
  size_t at = 0;
  for (;;) {
    size_t line = body.find("\r\n", at);
    if (line == std::string::npos || line == at) return false;
    size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
    at = line + 2;
    if (size == 0) return body.compare(at, std::string::npos, "\r\n") == 0;
    if (at + size + 2 > body.size() || body.compare(at + size, 2, "\r\n") != 0) return false;
    out.append(body, at, size);
    at += size + 2;
  }
}

// A slot with both send halves, a path buffer, a receive buffer and a send
// thread stand-in that collects everything handed to it.
struct Listing : ::testing::Test {
  fs::path root;
  std::unique_ptr<Z_TASK> task = std::make_unique<Z_TASK>();
  char* block = nullptr;
  std::vector<char16_t> path_buffer = std::vector<char16_t>(8192);
  std::vector<char> receive = std::vector<char>(65536);
  std::vector<char> names = std::vector<char>(names_length);
  std::string wire;
  std::atomic<bool> stop{false};
  std::atomic<bool> send_outside_half{false};
  std::thread sender;

  void SetUp() override {
    root = fs::temp_directory_path() / ("qm_listing_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    block = static_cast<char*>(os::aligned_allocate(block_size + guard_size, 4096));
    ASSERT_NE(block, nullptr);
    std::memset(block + block_size, 0x5A, guard_size);
    Z_RESPONSE& r = task->response;
    r.send_base = r.p_write = block;
    r.size_write = block_size / 2;
    r.half_index = 0;
    os::event_create(r.done_event, false, true);
    os::event_create(r.send_event, false, false);
    task->names_begin = names.data();
    sender = std::thread([this] { send_loop(); });
  }

  void send_loop() {
    Z_RESPONSE& r = task->response;
    for (;;) {
      if (os::event_wait(r.send_event, os::wait_forever) != os::wait_result::signaled || stop) return;
      const char* half = r.p_send < block + r.size_write ? block : block + r.size_write;
      if (r.p_send < half || r.p_send + r.size_send > half + r.size_write) send_outside_half = true;
      wire.append(r.p_send, r.size_send);
      r.result_send = static_cast<int64_t>(r.size_send);
      os::event_set(r.done_event);
    }
  }

  void TearDown() override {
    stop = true;
    os::event_set(task->response.send_event);
    sender.join();
    os::event_close(task->response.send_event);
    os::event_close(task->response.done_event);
    if (block != nullptr) {
      for (uint64_t i = 0; i < guard_size; ++i) ASSERT_EQ(block[block_size + i], 0x5A) << "written past the half";
      os::aligned_free(block);
    }
    fs::remove_all(root);
  }

  void make_file(const std::string& name, uint64_t size = 0) {
    std::ofstream(root / name).put('x');
    fs::resize_file(root / name, size);  // sparse beyond the first byte
  }

  // Parses the request and points the slot's path at root + folder.
  void prepare(const std::string& request, const std::string& folder = "/") {
    ASSERT_LT(request.size(), receive.size());
    std::memcpy(receive.data(), request.data(), request.size());
    receive[request.size()] = 0;
    clear_request(task->request);
    ASSERT_TRUE(parse_request(task->request, receive.data(), request.size(), receive.data() + receive.size()));
    ASSERT_TRUE(task->request.valid);
    task->recv_begin = receive.data();
    task->recv_end = receive.data() + receive.size();
    std::u16string path = u16(root.string() + folder);
    ASSERT_LT(path.size() + 2, path_buffer.size());
    std::copy(path.begin(), path.end(), path_buffer.begin());
    path_buffer[path.size()] = 0;
    Z_PATH& p = task->response.path;
    p.buffer = path_buffer.data();
    p.prefix_size = root.string().size();
    p.rest = p.buffer + p.prefix_size;
    p.end = p.buffer + path.size();
    p.capacity = path_buffer.size();
  }

  // Runs the listing and waits for the last send to finish.
  std::string run(bool expect = true) {
    EXPECT_EQ(send_listing(*task), expect);
    os::event_wait(task->response.done_event, os::wait_forever);
    os::event_set(task->response.done_event);
    EXPECT_FALSE(send_outside_half);
    return wire;
  }

  // The page text of a complete reply.
  static std::string page_of(const z_reply& reply) {
    std::string page;
    if (!reply.chunked()) return reply.body;
    EXPECT_TRUE(unchunk(reply.body, page)) << "broken chunk framing";
    return page;
  }

  // Names in the enumeration's own order, split into folders and files.
  void enumeration_order(std::vector<std::string>& folders, std::vector<std::string>& files) {
    std::u16string pattern = u16(root.string() + "/*");
    os::dir_handle h;
    os::dir_entry e;
    os::dir_options options;
    options.names = names.data();
    options.names_size = names_length;
    for (uint32_t error = os::dir_open(h, pattern.c_str(), &e, options); error == 0; error = os::dir_next(h, &e)) {
      std::string name = utf8(e.name);
      (e.is_directory ? folders : files).push_back(name);
    }
    os::dir_close(h);
  }
};

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Every row carries all of its parts, up to a date and the row's end.
void expect_rows_whole(const std::string& page) {
  const std::string open = "<tr class=\"st_item ";
  for (size_t at = page.find(open); at != std::string::npos;) {
    size_t next = page.find(open, at + 1);
    std::string row = page.substr(at, next == std::string::npos ? std::string::npos : next - at);
    size_t date = row.find("name=\"dates\">");
    ASSERT_TRUE(row.find("st_right_8\">") != std::string::npos && row.find("st_size\">") != std::string::npos &&
                date != std::string::npos && row.compare(date + 13 + 18, 10, "</td></tr>") == 0)
        << row.substr(0, 200);
    at = next;
  }
}

std::string row_class_of(const std::string& page, const std::string& href) {
  size_t link = page.find("href=\"" + href + "\"");
  if (link == std::string::npos) return "missing";
  size_t row = page.rfind("<tr class=\"st_item ", link);
  size_t start = row + std::strlen("<tr class=\"st_item ");
  return page.substr(start, page.find('"', start) - start);
}

TEST_F(Listing, FoldersFirstThenSeparatorThenFilesEachGroupStartingEven) {
  fs::create_directory(root / "alpha");
  fs::create_directory(root / "beta");
  fs::create_directory(root / "._fork");
  make_file("one.txt");
  make_file("two.mp3");
  make_file("._x");
  make_file(".DS_Store");
  std::vector<std::string> folders, files;
  enumeration_order(folders, files);
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  z_reply reply = split(run());
  std::string page = page_of(reply);

  EXPECT_EQ(page.rfind("<!DOCTYPE html><html><head><script type=\"text/javascript\" src=\"/quillmere/media.js\">", 0), 0u);
  EXPECT_EQ(page.find("lib-debug.js"), std::string::npos);
  EXPECT_NE(page.find("<title>/</title></head><body><h1>/</h1><table id=\"files\""), std::string::npos);
  EXPECT_NE(page.find("load_quillmere_animation"), std::string::npos);
  size_t previous = 0;
  std::vector<std::string> expected;
  for (const std::string& name : folders)
    if (name != "." && name != "._fork") expected.push_back(name + "/");
  expected.push_back("separator");
  for (const std::string& name : files)
    if (name != "._x" && name != ".DS_Store") expected.push_back(name);
  for (const std::string& item : expected) {
    size_t at = item == "separator" ? page.find("<td class=\"st_separator\" colspan=\"4\">")
                                    : page.find("href=\"" + item + "\"");
    ASSERT_NE(at, std::string::npos) << item;
    EXPECT_GT(at, previous) << item << " out of order";
    previous = at;
  }
  EXPECT_EQ(count(page, "class=\"st_item "), 5u);  // .., alpha, beta, one.txt, two.mp3
  EXPECT_EQ(page.find("href=\"./\""), std::string::npos);
  EXPECT_EQ(page.find("_x"), std::string::npos);
  EXPECT_EQ(page.find("_fork"), std::string::npos);
  EXPECT_EQ(page.find("DS_Store"), std::string::npos);
  EXPECT_EQ(row_class_of(page, expected[0]), "st_even");
  EXPECT_EQ(row_class_of(page, expected[1]), "st_odd");
  EXPECT_EQ(row_class_of(page, expected[2]), "st_even");
  EXPECT_EQ(row_class_of(page, expected[4]), "st_even");
  EXPECT_EQ(row_class_of(page, expected[5]), "st_odd");
  // ".." is a folder row with the folder icon; the icons of the files follow their types.
  size_t dots = page.find("href=\"../\"");
  EXPECT_NE(page.find("icon.16/z-folder-h.png\" srcset=\"/quillmere/icon.32/z-folder-h.png 2x\"", dots), std::string::npos);
  EXPECT_NE(page.find("icon.16/text.png", page.find("href=\"one.txt\"")), std::string::npos);
  EXPECT_NE(page.find("icon.16/audio.png", page.find("href=\"two.mp3\"")), std::string::npos);
  EXPECT_TRUE(page.ends_with(
      "<tr><td colspan=\"4\" class=\"st_about\"><h3>Small, fast web server for static content and media streaming"
      "<br /><a href=\"https://quillmere.example.com/\" id=\"quillmere\" class=\"st_quillmere\">quill"
      "<span class=\"st_mere\">mere</span></a> web server</h3></td></tr></table></body></html>"));
  // The pattern written into the path is taken back.
  EXPECT_EQ(task->response.path.end[0], u'\0');
  EXPECT_EQ(task->response.path.end[-1], u'/');
}

TEST_F(Listing, RowsComeInNameOrderIgnoringCase) {
  for (const char* folder : {"beta", "Alpha", "_under", "\xC3\x89" "coles", "._fork"})
    fs::create_directory(root / folder);
  for (const char* file : {"b.txt", "A.txt", "\xC3\xA4.txt", "Z.txt", "10.txt", "9.txt", "._x", ".DS_Store"})
    make_file(file);
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  std::string page = page_of(split(run()));
  const std::string expected[] = {"../", "Alpha/", "beta/", "_under/", "%C3%89coles/", "separator",
                                  "10.txt", "9.txt", "A.txt", "b.txt", "Z.txt", "%C3%A4.txt"};
  size_t previous = 0;
  for (const std::string& item : expected) {
    size_t at = item == "separator" ? page.find("<td class=\"st_separator\"") : page.find("href=\"" + item + "\"");
    ASSERT_NE(at, std::string::npos) << item;
    EXPECT_GT(at, previous) << item << " out of order";
    previous = at;
  }
  EXPECT_EQ(count(page, "class=\"st_item "), 11u);
  EXPECT_EQ(page.find("order starts again"), std::string::npos);
}

TEST_F(Listing, SizeColumnUnits) {
  struct {
    const char* name;
    uint64_t size;
    const char* shown;
  } rows[] = {
      {"zero.bin", 0, "0</td><td class=\"st_u st_right_4\"> </td>"},
      {"k8192.bin", 8192, "8192</td><td class=\"st_u st_right_4\"> </td>"},
      {"k8193.bin", 8193, "8</td><td class=\"st_u st_right_4\">K</td>"},
      {"m.bin", 8388609, "8</td><td class=\"st_u st_right_4\">M</td>"},
      {"ten.bin", 10000000, "9</td><td class=\"st_u st_right_4\">M</td>"},
  };
  for (const auto& row : rows) make_file(row.name, row.size);
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  std::string page = page_of(split(run()));
  for (const auto& row : rows) {
    size_t link = page.find(std::string("href=\"") + row.name + "\"");
    ASSERT_NE(link, std::string::npos) << row.name;
    size_t cell = page.find("st_size\">", link) + std::strlen("st_size\">");
    EXPECT_EQ(page.compare(cell, std::strlen(row.shown), row.shown), 0) << row.name << ": " << page.substr(cell, 60);
  }
  // The date column: the last-write time in UTC, "YYYY-MM-DD / HH:MM".
  size_t date = page.find("name=\"dates\">") + std::strlen("name=\"dates\">");
  std::string text = page.substr(date, 18);
  EXPECT_EQ(text.size(), 18u);
  EXPECT_EQ(text.substr(4, 1) + text.substr(7, 1) + text.substr(10, 3) + text.substr(15, 1), "-- / :");
}

// A file's icon follows the band of its type: checked with the outermost
// types of every band that have an extension, where a threshold off by a
// row would show, and with the media and web types.
TEST_F(Listing, IconFollowsTheBandOfTheType) {
  const struct {
    const char* name;
    const char* icon;
  } rows[] = {
      {"first.book", "0-default.png"},  {"last.zip", "0-default.png"},   {"app.wasm", "0-default.png"},
      {"subs.srt", "0-default.png"},    {"live.m3u8", "0-default.png"},  {"live.mpd", "0-default.png"},
      {"site.webmanifest", "0-default.png"},
      {"first.aac", "audio.png"},       {"last.wma", "audio.png"},       {"song.flac", "audio.png"},
      {"song.opus", "audio.png"},       {"song.weba", "audio.png"},      {"song.mka", "audio.png"},
      {"first.otf", "img.png"},         {"last.ico", "img.png"},         {"photo.jxl", "img.png"},
      {"first.eml", "text.png"},        {"last.xml", "text.png"},        {"subs.vtt", "text.png"},
      {"notes.md", "text.png"},         {"module.mjs", "text.png"},
      {"first.3gp", "video.png"},       {"last.movie", "video.png"},
  };
  for (const auto& row : rows) make_file(row.name);
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  std::string page = page_of(split(run()));
  for (const auto& row : rows) {
    size_t link = page.find(std::string("href=\"") + row.name + "\"");
    ASSERT_NE(link, std::string::npos) << row.name;
    size_t icon = page.find("icon.16/", link);
    ASSERT_NE(icon, std::string::npos) << row.name;
    icon += std::strlen("icon.16/");
    EXPECT_EQ(page.substr(icon, page.find('"', icon) - icon), row.icon) << row.name;
  }
}

TEST_F(Listing, SmallPageWholeWithLengthAndRanges) {
  make_file("a.txt", 5);
  struct {
    const char* label;
    const char* range;  // the Range header line, or empty
    const char* status;
    int sent;  // -1 the whole page, else the bytes from its start
  } rows[] = {
      {"no range", "", "HTTP/1.1 200 OK\r\n", -1},
      {"first 100", "Range: bytes=0-99\r\n", "HTTP/1.1 206 Partial Content\r\n", 100},
      {"end before start: no range", "Range: bytes=99-0\r\n", "HTTP/1.1 200 OK\r\n", -1},
      {"start past the end", "Range: bytes=999999-\r\n", "HTTP/1.1 416 Requested Range Not Satisfiable\r\n", 0},
  };
  std::string whole;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    wire.clear();
    prepare(std::string("GET / HTTP/1.1\r\nHost: a\r\n") + row.range + "\r\n");
    z_reply reply = split(run());
    EXPECT_EQ(reply.head.rfind(row.status, 0), 0u) << reply.head;
    EXPECT_FALSE(reply.chunked());
    EXPECT_NE(reply.head.find("Accept-Ranges: bytes\r\n"), std::string::npos);
    EXPECT_NE(reply.head.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    if (whole.empty()) whole = reply.body;
    size_t expected = row.sent < 0 ? whole.size() : static_cast<size_t>(row.sent);
    if (row.sent == 0) {
      EXPECT_NE(reply.head.find("Content-Range: bytes */" + std::to_string(whole.size()) + "\r\n"), std::string::npos);
    }
    EXPECT_NE(reply.head.find("Content-Length: " + std::to_string(expected) + "\r\n"), std::string::npos);
    EXPECT_EQ(reply.body, whole.substr(0, expected));
  }
  EXPECT_TRUE(whole.ends_with("</html>"));
}

TEST_F(Listing, SuffixRangeGivesTheLastBytes) {
  make_file("a.txt");
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  std::string whole = split(run()).body;
  wire.clear();
  prepare("GET / HTTP/1.1\r\nHost: a\r\nRange: bytes=-20\r\n\r\n");
  z_reply reply = split(run());
  EXPECT_EQ(reply.head.rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u);
  EXPECT_EQ(reply.body, whole.substr(whole.size() - 20));
  EXPECT_NE(reply.head.find("Content-Range: bytes " + std::to_string(whole.size() - 20) + "-" +
                            std::to_string(whole.size() - 1) + "/" + std::to_string(whole.size())),
            std::string::npos);
}

TEST_F(Listing, HeadAndSimpleRequests) {
  make_file("a.txt");
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  z_reply get = split(run());
  wire.clear();
  prepare("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n");
  z_reply head = split(run());
  EXPECT_EQ(without_date(head.head), without_date(get.head));
  EXPECT_TRUE(head.body.empty());
  wire.clear();
  prepare("GET /\n");
  EXPECT_EQ(run(), get.body);  // no status line, no header
}

// Names that are long and escape to several bytes per character, so rows run
// well past the 1,024 bytes that trigger a flush.
void make_large_folder(Listing& t) {
  for (int i = 0; i < 2000; ++i) {
    std::string name = std::to_string(i) + "_";
    if (i % 3 == 0) name += std::string(230, '&');
    else if (i % 3 == 1) name += std::string(230, '\'');
    else for (int k = 0; k < 75; ++k) name += "\xE2\x82\xAC";  // the euro sign
    t.make_file(name + ".txt");
  }
  fs::create_directory(t.root / ("dir_" + std::string(240, '"')));
}

TEST_F(Listing, LargePageChunkedAndWellFramedEvenWithARange) {
  make_large_folder(*this);
  prepare("GET / HTTP/1.1\r\nHost: a\r\nRange: bytes=0-99\r\n\r\n");
  z_reply reply = split(run());
  EXPECT_EQ(reply.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_TRUE(reply.chunked());
  EXPECT_EQ(reply.head.find("Content-Length"), std::string::npos);
  EXPECT_TRUE(reply.body.ends_with("\r\n0\r\n\r\n"));
  std::string page = page_of(reply);
  EXPECT_GT(page.size(), 3 * block_size);
  EXPECT_EQ(count(page, "class=\"st_item "), 2002u);  // 2000 files, the folder and ".."
  expect_rows_whole(page);
  EXPECT_TRUE(page.ends_with("</table></body></html>"));
  EXPECT_NE(page.find(std::string("dir_") + [] {
              std::string q;
              for (int k = 0; k < 240; ++k) q += "&quot;";
              return q;
            }()),
            std::string::npos);
}

TEST_F(Listing, HeadOfALargePageSendsTheChunkedHeaderOnly) {
  make_large_folder(*this);
  prepare("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n");
  z_reply reply = split(run());
  EXPECT_TRUE(reply.chunked());
  EXPECT_TRUE(reply.body.empty());
  EXPECT_EQ(reply.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST_F(Listing, DebugQueryAddsTheDebugScript) {
  const std::string tag = "<head><script type=\"text/javascript\" src=\"/quillmere/lib-debug.js\"></script>";
  struct {
    const char* query;
    bool debug;
  } rows[] = {{"?debug", true}, {"?dbg", true}, {"?debugx", false}, {"", false}};
  for (const auto& row : rows) {
    wire.clear();
    prepare(std::string("GET /") + row.query + " HTTP/1.1\r\nHost: a\r\n\r\n");
    std::string page = split(run()).body;
    EXPECT_EQ(page.find(tag) != std::string::npos, row.debug) << row.query;
  }
}

TEST_F(Listing, NamesAreEscapedInTextAndPercentEncodedInLinks) {
  make_file("<img src=x onerror=alert(1)>.txt");
  make_file("a&b 'c'.txt");
  prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  std::string page = split(run()).body;
  EXPECT_EQ(page.find("<img src=x"), std::string::npos);
  EXPECT_NE(page.find("href=\"%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E.txt\""), std::string::npos);
  EXPECT_NE(page.find(">&lt;img src=x onerror=alert(1)&gt;.txt</td>"), std::string::npos);
  EXPECT_NE(page.find("href=\"a%26b%20%27c%27.txt\""), std::string::npos);
  EXPECT_NE(page.find(">a&amp;b &#39;c&#39;.txt</td>"), std::string::npos);
}

TEST_F(Listing, TitleIsTheLastSegmentWithItsSlash) {
  fs::create_directories(root / "music" / "rock");
  fs::create_directories(root / "a<b>");
  struct {
    const char* folder;
    const char* title;
  } rows[] = {{"/music/rock/", "rock/"}, {"/music/", "music/"}, {"/a<b>/", "a&lt;b&gt;/"}};
  for (const auto& row : rows) {
    wire.clear();
    prepare("GET / HTTP/1.1\r\nHost: a\r\n\r\n", row.folder);
    std::string page = split(run()).body;
    std::string title = row.title;
    EXPECT_NE(page.find("<title>" + title + "</title></head><body><h1>" + title + "</h1>"), std::string::npos)
        << row.folder;
  }
}

TEST_F(Listing, FolderWithoutSlashIsRedirected) {
  fs::create_directory(root / "music");
  struct {
    const char* request;
    const char* location;
  } rows[] = {
      {"GET /music?a=1 HTTP/1.1\r\nHost: a\r\n\r\n", "/music/?a=1"},
      {"GET /music HTTP/1.1\r\nHost: a\r\n\r\n", "/music/"},
      {"GET //music HTTP/1.1\r\nHost: a\r\n\r\n", "/music/"},  // never "//": another host
  };
  for (const auto& row : rows) {
    wire.clear();
    std::string target = std::string(row.request).substr(4, std::string(row.request).find(' ', 4) - 4);
    std::string path = target.substr(0, target.find('?'));
    prepare(row.request, path == "//music" ? "/music" : path);
    std::string sent = run(false);
    EXPECT_EQ(sent.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << row.request;
    EXPECT_NE(sent.find(std::string("Location: ") + row.location + "\r\n"), std::string::npos) << sent;
  }
}

TEST_F(Listing, FolderThatCannotBeEnumeratedIsForbidden) {
  prepare("GET /gone/ HTTP/1.1\r\nHost: a\r\n\r\n", "/gone/");
  task->request.keep_alive = 1;
  std::string sent = run(false);
  EXPECT_EQ(sent.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << sent;
  EXPECT_EQ(task->request.keep_alive, 0);
}

TEST(ListDate, FormatAndRoom) {
  os::z_tm t;
  t.tm_year = 2021 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 0;
  t.tm_min = 54;
  char out[32];
  EXPECT_EQ(format_list_date(t, out, sizeof out), 18u);
  EXPECT_STREQ(out, "2021-12-08 / 00:54");
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(format_list_date(t, out, 18), 0u);
  EXPECT_EQ(out[0], '#');
  EXPECT_EQ(format_list_date(t, out, 19), 18u);
  // A year of five digits would not fit the column: nothing is written.
  t.tm_year = 30000 - 1900;
  EXPECT_EQ(format_list_date(t, out, sizeof out), 0u);
}

}  // namespace
}  // namespace qm
