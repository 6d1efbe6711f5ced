// Request parser at its edges: NUL bytes in the request, the exact 8192-byte
// boundaries, the first blank line of a block, and calls that break the
// calling contract. Inputs end just before a PROT_NONE page.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http/request.h"

namespace {

using qm::Z_REQUEST;

// A receive buffer whose last byte is followed by an inaccessible page.
class EdgeBuffer {
 public:
  explicit EdgeBuffer(size_t bytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = ((bytes + page - 1) / page + 1) * page;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    map_ = static_cast<char*>(p);
    end_ = map_ + size_ - page;
    if (mprotect(end_, page, PROT_NONE) != 0) std::abort();
  }
  ~EdgeBuffer() { munmap(map_, size_); }
  EdgeBuffer(const EdgeBuffer&) = delete;
  EdgeBuffer& operator=(const EdgeBuffer&) = delete;

  char* end() const { return end_; }
  // Copies text so that its NUL is the buffer's last byte.
  char* put(const std::string& text) const {
    char* start = end_ - 1 - text.size();
    std::memcpy(start, text.data(), text.size());
    start[text.size()] = '\0';
    return start;
  }

 private:
  char* map_ = nullptr;
  char* end_ = nullptr;
  size_t size_ = 0;
};

enum class Verdict { need_more, rejected, not_allowed, valid };

const char* name(Verdict v) {
  switch (v) {
    case Verdict::need_more: return "need more";
    case Verdict::rejected: return "rejected";
    case Verdict::not_allowed: return "not allowed";
    default: return "valid";
  }
}

Verdict verdict(const Z_REQUEST& r) {
  if (!r.complete) return Verdict::need_more;
  if (r.method_not_allowed) return Verdict::not_allowed;
  return r.valid ? Verdict::valid : Verdict::rejected;
}

struct EdgeCase {
  const char* label;
  std::string input;
  Verdict want;
  long body_at;  // offset of body_start, or -1 when not checked
};

// A simple request "GET /aaa...\n" of exactly line_size bytes: it has no
// header block, so only the request line's limit applies.
std::string simple_request(size_t line_size) { return "GET /" + std::string(line_size - 6, 'a') + "\n"; }

std::string with_block_length(size_t total) {
  // A request whose header block's blank line ends exactly at byte total.
  std::string head = "GET / HTTP/1.0\r\nX-Pad: ";
  return head + std::string(total - head.size() - 4, 'p') + "\r\n\r\n";
}

TEST(RequestParserEdges, Cases) {
  const std::string bytes_8192 = with_block_length(8192);
  const std::string bytes_8193 = with_block_length(8193);
  const EdgeCase cases[] = {
      {"NUL in the target", std::string("GET /a\0b HTTP/1.0\r\n\r\n", 21), Verdict::rejected, -1},
      {"NUL in a header value", std::string("GET / HTTP/1.0\r\nHost: a\0b\r\n\r\n", 29), Verdict::rejected, -1},
      {"NUL in the body is data", std::string("POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\na\0b", 41), Verdict::valid, 38},
      {"first blank line ends the block", "GET / HTTP/1.0\nA: b\n\nGET / HTTP/1.1\r\nHost: x\r\n\r\n", Verdict::valid, 21},
      {"LF then CR LF ends the block", "GET / HTTP/1.0\nA: b\n\r\nrest", Verdict::valid, 22},
      {"empty header block, CR LF", "GET / HTTP/1.0\r\n\r\nnext", Verdict::valid, 18},
      {"empty header block, LF", "GET / HTTP/1.0\n\nnext", Verdict::valid, 16},
      {"request line of 8192 bytes", simple_request(8192), Verdict::valid, 8192},
      {"request line of 8193 bytes", simple_request(8193), Verdict::rejected, -1},
      {"header block ending at byte 8192", bytes_8192, Verdict::valid, 8192},
      {"header block ending at byte 8193", bytes_8193, Verdict::rejected, -1},
  };
  for (const EdgeCase& c : cases) {
    EdgeBuffer buffer(c.input.size() + 1);
    char* start = buffer.put(c.input);
    Z_REQUEST r;
    qm::clear_request(r);
    qm::parse_request(r, start, c.input.size(), buffer.end());
    EXPECT_STREQ(name(verdict(r)), name(c.want)) << c.label;
    if (c.body_at >= 0) {
      ASSERT_NE(r.body_start, nullptr) << c.label;
      EXPECT_EQ(r.body_start - start, c.body_at) << c.label;
    }
  }
}

// Header values stay NUL-cut strings of the block: the first blank line wins,
// so the headers of a pipelined request behind it are not read into this one.
TEST(RequestParserEdges, PipelinedRequestIsNotMerged) {
  const std::string input = "GET /one HTTP/1.0\nUser-Agent: a\n\nGET /two HTTP/1.1\r\nHost: x\r\n\r\n";
  EdgeBuffer buffer(input.size() + 1);
  char* start = buffer.put(input);
  Z_REQUEST r;
  qm::clear_request(r);
  ASSERT_TRUE(qm::parse_request(r, start, input.size(), buffer.end()));
  EXPECT_STREQ(r.user_agent, "a");
  EXPECT_EQ(r.host, nullptr);
  EXPECT_STREQ(r.body_start, "GET /two HTTP/1.1\r\nHost: x\r\n\r\n");
}

// Calls outside the contract are rejected instead of reading or writing out of bounds.
TEST(RequestParserEdges, ContractViolationsAreRejected) {
  const std::string input = "GET / HTTP/1.1\r\nHost: a\r\n";
  EdgeBuffer buffer(input.size() + 64);
  char* start = buffer.put(input);
  Z_REQUEST r;

  qm::clear_request(r);
  // No room for the NUL after the data.
  qm::parse_request(r, start, input.size() + 1, buffer.end());
  EXPECT_EQ(verdict(r), Verdict::rejected);
  EXPECT_EQ(r.resume_end, nullptr);

  // A suspended parse resumed with another first byte.
  qm::clear_request(r);
  std::memmove(start - 40, input.data(), input.size());
  (start - 40)[input.size()] = '\0';
  qm::parse_request(r, start - 40, input.size(), buffer.end());
  ASSERT_EQ(verdict(r), Verdict::need_more);
  ASSERT_NE(r.resume_end, nullptr);
  qm::parse_request(r, start - 39, input.size() - 1, buffer.end());
  EXPECT_EQ(verdict(r), Verdict::rejected);
  EXPECT_EQ(r.resume_end, nullptr);
}

}  // namespace
