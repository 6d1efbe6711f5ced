// Chunked framing: the header and size line are placed in front of the
// data, so each chunk leaves in one send.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "content/header.h"
#include "core/engine.h"
#include "os/memory.h"

namespace qm {
namespace {

struct half_buffers {
  Z_RESPONSE r;
  Z_REQUEST request;
  char* block;
  half_buffers() {
    block = static_cast<char*>(os::aligned_allocate(524288, 4096));
    r.send_base = r.p_write = block;
    r.size_write = 262144;
    os::event_create(r.send_event, false, false);
    os::event_create(r.done_event, false, true);
    clear_request(request);
    request.method = method_get;
    request.keep_alive = 1;
  }
  ~half_buffers() { os::aligned_free(block); }
  // What the send thread would have sent; the channel is then free again.
  std::string take_sent() {
    std::string sent(r.p_send, r.size_send);
    os::event_set(r.done_event);
    return sent;
  }
};

TEST(Chunks, HeaderSizeLineAndDataLeaveInOneSend) {
  half_buffers h;
  char* cursor = h.r.p_write + chunk_reserve;
  char* end = h.r.p_write + h.r.size_write;
  std::memset(cursor, 'x', 4096);
  cursor += 4096;
  bool header_sent = false, failed = false;
  ASSERT_TRUE(flush_chunk(h.r, h.request, cursor, end, header_sent, failed, "utf-8"));
  EXPECT_TRUE(header_sent);
  EXPECT_FALSE(failed);
  std::string first = h.take_sent();
  size_t head_end = first.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(first.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(first.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(first.substr(head_end + 4), "1000\r\n" + std::string(4096, 'x') + "\r\n");
  // The next chunk goes into the other half, without a header.
  EXPECT_EQ(cursor, h.r.send_base + h.r.size_write + chunk_reserve);
  std::memset(cursor, 'y', 300);
  cursor += 300;
  ASSERT_TRUE(flush_chunk(h.r, h.request, cursor, end, header_sent, failed, "utf-8"));
  EXPECT_EQ(h.take_sent(), "12c\r\n" + std::string(300, 'y') + "\r\n");
}

TEST(Chunks, HeadSendsTheHeaderAloneAndStops) {
  half_buffers h;
  h.request.method = method_head;
  char* cursor = h.r.p_write + chunk_reserve + 10;
  char* end = h.r.p_write + h.r.size_write;
  bool header_sent = false, failed = false;
  EXPECT_TRUE(flush_chunk(h.r, h.request, cursor, end, header_sent, failed, "utf-8"));
  EXPECT_TRUE(failed);
  std::string sent = h.take_sent();
  EXPECT_EQ(sent.size(), sent.find("\r\n\r\n") + 4);
}

TEST(Chunks, FailedPreviousSendStopsTheBody) {
  half_buffers h;
  h.r.result_send = -1;
  h.r.error_send = 32;  // broken pipe: reported quietly
  char* cursor = h.r.p_write + chunk_reserve + 10;
  char* end = h.r.p_write + h.r.size_write;
  bool header_sent = false, failed = false;
  EXPECT_FALSE(flush_chunk(h.r, h.request, cursor, end, header_sent, failed, nullptr));
  EXPECT_TRUE(failed);
  EXPECT_EQ(h.request.keep_alive, 0);
}

}  // namespace
}  // namespace qm
