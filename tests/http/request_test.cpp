// Request parser tests. Every input sits just before a PROT_NONE page, so a
// read past the NUL that follows the data (or past the buffer) crashes.
#include "http/request.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using qm::Z_REQUEST;
using Fields = std::map<std::string, std::string>;

// Pages of memory followed by one inaccessible page.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t bytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = ((bytes + page - 1) / page + 1) * page;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    map_ = static_cast<char*>(p);
    guard_ = map_ + size_ - page;
    if (mprotect(guard_, page, PROT_NONE) != 0) std::abort();
  }
  ~GuardedBuffer() { munmap(map_, size_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  char* end() const { return guard_; }
  // Where data of `size` bytes starts when `room` bytes stay free after its NUL.
  char* place(size_t size, size_t room) const { return guard_ - room - 1 - size; }

 private:
  char* map_ = nullptr;
  char* guard_ = nullptr;
  size_t size_ = 0;
};

std::string text(const char* p) { return p ? std::string(p) : "(null)"; }
std::string num(uint64_t v) { return std::to_string(v); }
std::string offset(const char* p, const char* start) { return p ? num(static_cast<uint64_t>(p - start)) : "(null)"; }

Fields describe(const Z_REQUEST& r, const char* start) {
  return {
      {"complete", num(r.complete)},
      {"valid", num(r.valid)},
      {"method_not_allowed", num(r.method_not_allowed)},
      {"conn_close", num(r.conn_close)},
      {"version_unsupported", num(r.version_unsupported)},
      {"lengths_conflict", num(r.lengths_conflict)},
      {"transfer_encoding", num(r.transfer_encoding)},
      {"body_cut", num(r.body_cut)},
      {"method", num(r.method)},
      {"version", std::to_string(r.version)},
      {"waiting", r.resume_end ? "1" : "0"},
      {"target", text(r.target)},
      {"target_at", offset(r.target, start)},
      {"query", text(r.query)},
      {"path_size", num(r.path_size)},
      {"query_size", num(r.query_size)},
      {"target_size", num(r.target_size)},
      {"authority_size", num(r.authority_size)},
      {"authority_at", offset(r.authority, start)},
      {"host", text(r.host)},
      {"host_size", num(r.host_size)},
      {"keep_alive", num(r.keep_alive)},
      {"conn_upgrade", num(r.conn_upgrade)},
      {"conn_http2_settings", num(r.conn_http2_settings)},
      {"accepts_br", num(r.accepts_br)},
      {"accepts_gzip", num(r.accepts_gzip)},
      {"accepts_webp", num(r.accepts_webp)},
      {"accept", text(r.accept)},
      {"accept_encoding", text(r.accept_encoding)},
      {"user_agent", text(r.user_agent)},
      {"forwarded_for", text(r.forwarded_for)},
      {"debug", num(r.debug)},
      {"download", num(r.download)},
      {"range_unit", std::to_string(r.range_unit)},
      {"range_start", num(r.range_start)},
      {"range_end", num(r.range_end)},
      {"range_start_given", num(r.range_start_given)},
      {"range_end_given", num(r.range_end_given)},
      {"content_length", std::to_string(r.content_length)},
      {"body_in_buffer", num(r.body_in_buffer)},
      {"body_at", offset(r.body_start, start)},
      {"max_age", num(r.max_age)},
      {"upgrade", num(r.upgrade)},
      {"upgrade_insecure_requests", num(r.upgrade_insecure_requests)},
      {"websocket_version", num(r.websocket_version)},
  };
}

struct Row {
  std::string label;
  std::string input;
  size_t room;  // free bytes left in the buffer after the data's NUL
  std::vector<std::pair<std::string, std::string>> expect;
};

constexpr size_t kRoom = 100;
const std::string kHost = "Host: h\r\n";

std::string get(const std::string& target, const std::string& headers) {
  return "GET " + target + " HTTP/1.1\r\n" + kHost + headers + "\r\n";
}

std::vector<Row> rows() {
  std::vector<Row> t = {
      {"HTTP/1.1 with Host", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "1"}, {"version", "1"}, {"method", "2"}, {"target", "/"},
        {"target_size", "1"}, {"host", "a"}, {"host_size", "1"}, {"body_at", "27"}, {"waiting", "0"}}},
      {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", 0, {{"complete", "1"}, {"valid", "0"}, {"version", "1"}}},
      {"HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "1"}, {"version", "0"}, {"body_at", "18"}}},
      {"empty Host counts", "GET / HTTP/1.1\r\nHost:\r\n\r\n", 0, {{"valid", "1"}, {"host", ""}, {"host_size", "0"}}},
      {"HEAD and POST accepted", "HEAD /x HTTP/1.0\r\n\r\n", 0, {{"valid", "1"}, {"method", "3"}}},
      {"lower-case method", "get / HTTP/1.1\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"method_not_allowed", "0"}}},
      {"lower-case rejected before the space arrives", "ge", kRoom, {{"complete", "1"}, {"valid", "0"}}},
      {"DELETE not allowed", "DELETE / HTTP/1.1\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"method_not_allowed", "1"}, {"method", "1"}}},
      {"PROPFIND: no space in 8 bytes", "PROPFIND / HTTP/1.1\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"method_not_allowed", "0"}}},
      {"unknown method", "BREW / HTTP/1.1\r\nHost: a\r\n\r\n", 0, {{"complete", "1"}, {"valid", "0"}, {"method_not_allowed", "0"}}},
      {"method not ended yet", "GET", kRoom, {{"complete", "0"}, {"waiting", "1"}}},
      {"space is the last byte", "GET ", kRoom, {{"complete", "0"}, {"waiting", "1"}}},
      {"request line not ended", "GET /abc HTTP/1.", kRoom, {{"complete", "0"}, {"waiting", "1"}}},
      {"header block not ended", "GET / HTTP/1.1\r\nHost: a\r\n", kRoom, {{"complete", "0"}, {"waiting", "1"}}},
      {"full buffer cannot wait", "GET / HTTP/1.1\r\nHost: a\r\n", 0, {{"complete", "1"}, {"valid", "0"}, {"waiting", "0"}}},
      {"version found from the line's end", get("/a b", ""), 0,
       {{"valid", "1"}, {"version", "1"}, {"target", "/a b"}, {"target_size", "4"}}},
      {"absolute form", "GET http://host/x?y=1 HTTP/1.1\r\nHost: host\r\n\r\n", 0,
       {{"valid", "1"}, {"target", "/x"}, {"query", "y=1"}, {"path_size", "2"}, {"query_size", "3"},
        {"target_size", "6"}, {"authority_size", "4"}, {"authority_at", "11"}}},
      {"absolute https form", get("https://h:8/", ""), 0, {{"valid", "1"}, {"target", "/"}, {"authority_size", "3"}}},
      {"absolute form without path", get("http://host", ""), 0, {{"complete", "1"}, {"valid", "0"}}},
      {"absolute form without host", get("http://", ""), 0, {{"complete", "1"}, {"valid", "0"}}},
      {"target not rooted", get("x/y", ""), 0, {{"complete", "1"}, {"valid", "0"}}},
      {"simple request", "GET /index.htm\n", 0,
       {{"complete", "1"}, {"valid", "1"}, {"version", "-1"}, {"target", "/index.htm"}, {"target_size", "10"},
        {"body_at", "15"}}},
      {"simple request with CR", "GET /x\r\n", 0, {{"valid", "1"}, {"version", "-1"}, {"target", "/x"}, {"target_size", "2"}}},
      {"HTTP/1.2 is answered as 1.1", "GET /x HTTP/1.2\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "1"}, {"version", "1"}, {"host", "a"}, {"version_unsupported", "0"}}},
      {"HTTP/1.9 too", "GET /x HTTP/1.9\r\nHost: a\r\n\r\n", 0, {{"valid", "1"}, {"version", "1"}}},
      {"HTTP/2.0: another major version", "GET /x HTTP/2.0\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"version", "1"}, {"version_unsupported", "1"}}},
      {"HTTP/0.9: another major version", "GET /x HTTP/0.9\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"version_unsupported", "1"}}},
      {"a version of two minor digits is none", "GET /x HTTP/1.10\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"version_unsupported", "0"}}},
      {"lower-case http is no version", "GET /x http/1.1\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"version_unsupported", "0"}}},
      {"a word after the target is no version", "GET /x FOO\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"version_unsupported", "0"}}},
      {"LF-only lines", "GET / HTTP/1.1\nHost: a\nUser-Agent: u\n\n", 0,
       {{"valid", "1"}, {"host", "a"}, {"user_agent", "u"}, {"body_at", "38"}}},
      {"header block lower-cased, request line not", "GET /ABC?Q HTTP/1.1\r\nHOST: EXAMPLE\r\nUser-Agent: Foo/1\r\n\r\n", 0,
       {{"valid", "1"}, {"target", "/ABC"}, {"query", "Q"}, {"host", "example"}, {"user_agent", "foo/1"}}},
      {"Connection Keep-Alive", get("/", "Connection: Keep-Alive\r\n"), 0, {{"keep_alive", "1"}, {"conn_upgrade", "0"}}},
      {"HTTP/1.1 persists without a Connection header", get("/", ""), 0, {{"keep_alive", "1"}, {"conn_close", "0"}}},
      {"HTTP/1.1 with close", get("/", "Connection: close\r\n"), 0, {{"keep_alive", "0"}, {"conn_close", "1"}}},
      {"close wins over keep-alive", get("/", "Connection: keep-alive\r\nConnection: close\r\n"), 0,
       {{"keep_alive", "0"}, {"conn_close", "1"}}},
      {"HTTP/1.0 closes without keep-alive", "GET / HTTP/1.0\r\n\r\n", 0, {{"keep_alive", "0"}}},
      {"HTTP/1.0 Connection token with a space", "GET / HTTP/1.0\r\nConnection: keep-alive , upgrade\r\n\r\n", 0,
       {{"keep_alive", "0"}, {"conn_upgrade", "1"}}},
      {"HTTP/1.0 Connection tokens without spaces", "GET / HTTP/1.0\r\nConnection: http2-settings,upgrade\r\n\r\n", 0,
       {{"conn_http2_settings", "1"}, {"conn_upgrade", "1"}, {"keep_alive", "0"}}},
      {"HTTP/1.0 keep-alive", "GET / HTTP/1.0\r\nConnection: upgrade, Keep-Alive\r\n\r\n", 0, {{"keep_alive", "1"}}},
      {"Range start only", get("/", "Range: bytes=100-\r\n"), 0,
       {{"range_unit", "1"}, {"range_start", "100"}, {"range_end", "0"}, {"range_start_given", "1"}, {"range_end_given", "0"}}},
      {"Range suffix", get("/", "Range: bytes=-500\r\n"), 0,
       {{"range_unit", "1"}, {"range_start", "0"}, {"range_end", "500"}, {"range_start_given", "0"}, {"range_end_given", "1"}}},
      {"Range 0-0", get("/", "Range: bytes=0-0\r\n"), 0,
       {{"range_unit", "1"}, {"range_start", "0"}, {"range_end", "0"}, {"range_start_given", "1"}, {"range_end_given", "1"}}},
      {"Range first of several", get("/", "Range: bytes=5-9, 20-30\r\n"), 0, {{"range_start", "5"}, {"range_end", "9"}}},
      {"Range without dash in the first range", get("/", "Range: bytes=5,7-9\r\n"), 0,
       {{"range_unit", "1"}, {"range_start", "0"}, {"range_end", "0"}, {"range_start_given", "0"}, {"range_end_given", "0"}}},
      {"Range beyond 64 bits saturates", get("/", "Range: bytes=99999999999999999999999-\r\n"), 0,
       {{"range_start", "18446744073709551615"}}},
      {"Range other unit", get("/", "Range: items=1-2\r\n"), 0, {{"range_unit", "0"}, {"range_start", "0"}}},
      {"Range without '=' ignored", get("/", "Range: bytes=1-2\r\nRange: bytes\r\n"), 0, {{"range_unit", "1"}, {"range_end", "2"}}},
      {"later Range replaces", get("/", "Range: bytes=1-2\r\nRange: bytes=-7\r\n"), 0,
       {{"range_start", "0"}, {"range_end", "7"}, {"range_start_given", "0"}}},
      {"gzip with q=0", get("/", "Accept-Encoding: gzip;q=0\r\n"), 0, {{"accepts_gzip", "0"}, {"accepts_br", "0"}}},
      {"later Accept-Encoding wins", get("/", "Accept-Encoding: gzip\r\nAccept-Encoding: BR\r\n"), 0,
       {{"accepts_gzip", "0"}, {"accepts_br", "1"}, {"accept_encoding", "br"}}},
      {"webp in Accept", get("/", "Accept: image/WebP,*/*\r\n"), 0, {{"accepts_webp", "1"}, {"accept", "image/webp,*/*"}}},
      {"query dbg", get("/?dbg", ""), 0, {{"debug", "1"}, {"query", "dbg"}, {"path_size", "1"}, {"query_size", "3"}, {"target_size", "5"}}},
      {"query debug", get("/d?debug", ""), 0, {{"debug", "1"}}},
      {"query debug2", get("/?debug2", ""), 0, {{"debug", "0"}}},
      {"query dbg=1", get("/?dbg=1", ""), 0, {{"debug", "0"}}},
      {"query download&x=1", get("/f?download&x=1", ""), 0, {{"download", "1"}, {"query", "download&x=1"}}},
      {"query down", get("/f?down", ""), 0, {{"download", "1"}}},
      {"query downloads", get("/f?downloads", ""), 0, {{"download", "0"}}},
      {"no query", get("/f", ""), 0, {{"query", "(null)"}, {"query_size", "0"}, {"path_size", "2"}}},
      {"negative Content-Length", "POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n", 0, {{"complete", "1"}, {"valid", "0"}}},
      {"line without ':' anywhere after it", get("/", "bogus\r\n"), 0, {{"complete", "1"}, {"valid", "0"}, {"waiting", "0"}}},
      {"line without ':' swallows the next line", "GET / HTTP/1.1\r\nbogus\r\nHost: a\r\n\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"host", "(null)"}}},
      {"duplicate Host: later wins", "GET / HTTP/1.1\r\nHost: a\r\nHost: bb\r\n\r\n", 0, {{"host", "bb"}, {"host_size", "2"}}},
      {"Cache-Control max-age", get("/", "Cache-Control: no-cache max-age=60\r\n"), 0, {{"max_age", "60"}}},
      {"Forwarded for", get("/", "Forwarded: by=x for=1.2.3.4 proto=http\r\n"), 0, {{"forwarded_for", "1.2.3.4"}}},
      {"Upgrade websocket", get("/", "Upgrade: WebSocket\r\nSec-WebSocket-Version: 13\r\n"), 0,
       {{"upgrade", "2"}, {"websocket_version", "13"}}},
      {"Upgrade h2c", get("/", "Upgrade: h2c\r\n"), 0, {{"upgrade", "1"}}},
      {"Upgrade list is no match", get("/", "Upgrade: h2c, websocket\r\n"), 0, {{"upgrade", "0"}}},
      {"Upgrade-Insecure-Requests", get("/", "Upgrade-Insecure-Requests: 1\r\n"), 0, {{"upgrade_insecure_requests", "1"}}},
      {"body present", "POST / HTTP/1.0\r\nContent-Length: +5\r\n\r\nhello", 0,
       {{"complete", "1"}, {"valid", "1"}, {"content_length", "5"}, {"body_in_buffer", "0"}, {"body_at", "39"}}},
      {"body awaited", "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc", kRoom, {{"complete", "0"}, {"waiting", "1"}}},
      {"body larger than the buffer", "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc", 0,
       {{"complete", "1"}, {"valid", "1"}, {"body_in_buffer", "3"}, {"body_cut", "1"}}},
      {"body whole", "POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", 0, {{"valid", "1"}, {"body_cut", "0"}}},
      {"two Content-Lengths that differ", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-Length: 1\r\n\r\nabc", 0,
       {{"complete", "1"}, {"valid", "0"}, {"lengths_conflict", "1"}}},
      {"the same Content-Length twice", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", 0,
       {{"complete", "1"}, {"valid", "1"}, {"content_length", "3"}, {"lengths_conflict", "0"}}},
      {"Transfer-Encoding alone", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", 0,
       {{"complete", "1"}, {"valid", "0"}, {"transfer_encoding", "1"}}},
      {"Transfer-Encoding and Content-Length", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc", 0,
       {{"complete", "1"}, {"valid", "0"}, {"transfer_encoding", "1"}}},
      {"Content-Length beyond 32 bits", "POST / HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\nab", 0,
       {{"complete", "1"}, {"valid", "0"}}},
      {"Content-Length at the 32-bit maximum", "POST / HTTP/1.0\r\nContent-Length: 2147483647\r\n\r\nab", 0,
       {{"complete", "1"}, {"valid", "1"}, {"content_length", "2147483647"}, {"body_in_buffer", "2"}}},
  };

  // The 8192-byte limit on the header block.
  std::string head = "GET / HTTP/1.1\r\nHost: a\r\nX-Pad: ";
  std::string no_blank = head + std::string(9000 - head.size() - 2, 'p') + "\r\n";
  t.push_back({"9000-byte block without blank line", no_blank, kRoom, {{"complete", "1"}, {"valid", "0"}}});
  std::string early = head + std::string(8000, 'p') + "\r\n\r\n";
  size_t body_at = early.size();
  early += std::string(9000 - early.size(), 'b');
  t.push_back({"blank line within 8192 bytes", early, kRoom, {{"complete", "1"}, {"valid", "1"}, {"body_at", num(body_at)}}});
  std::string straddle = head + std::string(8192 - 2 - head.size(), 'p') + "\r\n\r\n" + std::string(800, 'b');
  t.push_back({"blank line across 8192 bytes", straddle, kRoom, {{"complete", "1"}, {"valid", "0"}}});
  std::string long_line = "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n";
  t.push_back({"request line beyond 8192 bytes", long_line, kRoom, {{"complete", "1"}, {"valid", "0"}}});
  return t;
}

TEST(RequestParser, Table) {
  for (const Row& row : rows()) {
    GuardedBuffer buffer(row.input.size() + row.room + 1);
    char* start = buffer.place(row.input.size(), row.room);
    std::memcpy(start, row.input.data(), row.input.size());
    start[row.input.size()] = '\0';
    Z_REQUEST r;
    qm::clear_request(r);
    bool done = qm::parse_request(r, start, row.input.size(), buffer.end());
    Fields got = describe(r, start);
    for (const auto& [key, want] : row.expect) EXPECT_EQ(got.at(key), want) << "row: " << row.label << ", field: " << key;
    if (done) {
      EXPECT_EQ(r.complete, 1) << "row: " << row.label;
    }
    if (row.input.size() > 8192) {
      // The byte hidden during the bounded searches is put back.
      EXPECT_EQ(start[8192], row.input[8192]) << "row: " << row.label;
    }
  }
}

// Feeds the request in pieces as the receive loop does: each piece is appended
// at resume_end and the parser called again with the same start and the total.
Fields parse_in_pieces(const std::string& input, const std::vector<size_t>& cuts) {
  GuardedBuffer buffer(input.size() + 1);
  char* start = buffer.place(input.size(), 0);
  Z_REQUEST r;
  qm::clear_request(r);
  size_t have = 0;
  for (size_t cut : cuts) {
    char* at = r.resume_end ? r.resume_end : start;
    if (at != start + have) return {{"error", "resume_end " + offset(at, start) + " after " + num(have)}};
    std::memcpy(at, input.data() + have, cut - have);
    have = cut;
    start[have] = '\0';
    qm::parse_request(r, start, have, buffer.end());
    if (have < input.size() && r.complete) return {{"error", "complete early at " + num(have)}};
    if (have < input.size() && !r.resume_end) return {{"error", "not waiting at " + num(have)}};
  }
  return describe(r, start);
}

const std::string kSplitRequests[] = {
    "GET http://example.org/dir/file.txt?download HTTP/1.1\r\nHost: Example.org:8080\r\n"
    "Connection: Keep-Alive, Upgrade\r\nRange: bytes=10-20\r\nAccept-Encoding: gzip, br\r\n"
    "Accept: image/webp\r\nUser-Agent: T\r\n\r\n",
    "GET /a%20b?dbg HTTP/1.1\nHost: h\nRange: bytes=-5\nCache-Control: max-age=9\n\n",
    "GET / HTTP/1.0\r\n\r\n",
    "GET /simple\n",
};

// Codings and WebP are accepted by their own element's weight, q=0 refusing;
// "*" counts for codings only.
TEST(RequestParser, CodingsAndWebpByTheirWeights) {
  struct row {
    const char* label;
    const char* header;  // without the line end
    const char* br;
    const char* gzip;
    const char* webp;
  };
  const row rows[] = {
      {"both", "Accept-Encoding: gzip, deflate, br", "1", "1", "0"},
      {"gzip refused", "Accept-Encoding: gzip;q=0, br", "1", "0", "0"},
      {"gzip refused with decimals and blanks", "Accept-Encoding: br , gzip ; q=0.000", "1", "0", "0"},
      {"small weight accepts", "Accept-Encoding: gzip;q=0.001", "0", "1", "0"},
      {"weight 1.000", "Accept-Encoding: br;q=1.000", "1", "0", "0"},
      {"x-gzip is gzip", "Accept-Encoding: x-gzip", "0", "1", "0"},
      {"longer names are other codings", "Accept-Encoding: x-gzipped, xbrowser, brotli", "0", "0", "0"},
      {"star accepts the rest", "Accept-Encoding: *", "1", "1", "0"},
      {"star with gzip refused", "Accept-Encoding: *, gzip;q=0", "1", "0", "0"},
      {"star refused", "Accept-Encoding: *;q=0, br", "1", "0", "0"},
      {"identity only", "Accept-Encoding: identity", "0", "0", "0"},
      {"empty", "Accept-Encoding: ", "0", "0", "0"},
      {"broken weight says nothing", "Accept-Encoding: gzip;q=2, br;q=abc, *;q=0.5", "1", "1", "0"},
      {"other parameters", "Accept-Encoding: gzip;level=\"9;q=0\";q=0.5", "0", "1", "0"},
      {"webp named", "Accept: image/avif,image/webp,*/*;q=0.8", "0", "0", "1"},
      {"webp refused", "Accept: image/webp;q=0, */*", "0", "0", "0"},
      {"webp with parameters", "Accept: image/webp;x=1;q=0.5", "0", "0", "1"},
      {"wildcards are no webp", "Accept: image/*, */*", "0", "0", "0"},
      {"longer media types", "Accept: image/webpx, image/webp-foo", "0", "0", "0"},
  };
  for (const row& r : rows) {
    std::string input = "GET / HTTP/1.1\r\nHost: h\r\n" + std::string(r.header) + "\r\n\r\n";
    std::vector<char> buffer(input.begin(), input.end());
    buffer.resize(input.size() + 8, '\0');
    Z_REQUEST q;
    qm::clear_request(q);
    ASSERT_TRUE(qm::parse_request(q, buffer.data(), input.size(), buffer.data() + buffer.size())) << r.label;
    EXPECT_EQ(num(q.accepts_br), r.br) << r.label;
    EXPECT_EQ(num(q.accepts_gzip), r.gzip) << r.label;
    EXPECT_EQ(num(q.accepts_webp), r.webp) << r.label;
  }
}

TEST(RequestParser, SplitAtEveryByteGivesSameFields) {
  for (const std::string& input : kSplitRequests) {
    Fields whole = parse_in_pieces(input, {input.size()});
    ASSERT_EQ(whole.at("complete"), "1") << input;
    for (size_t cut = 1; cut < input.size(); ++cut)
      EXPECT_EQ(parse_in_pieces(input, {cut, input.size()}), whole) << "split at " << cut << " of: " << input;
    std::vector<size_t> bytewise;
    for (size_t n = 1; n <= input.size(); ++n) bytewise.push_back(n);
    EXPECT_EQ(parse_in_pieces(input, bytewise), whole) << "byte by byte: " << input;
  }
}

}  // namespace
