// A slot's response and its send channel.
//
// Every producer (file transfer, status pages, listings, resources) writes
// into the current half of the slot's send buffer and hands it to
// send_packet. When the channel is idle and the producer has nothing more
// to read meanwhile, the half is sent at once by the calling (receive)
// thread; only a stream of several halves (a large file) goes through the
// send thread, so that one half is sent while the next is read. Either way
// the bytes leave in order and a failed send is reported the same way.
#pragma once
#include <atomic>
#include <cstdint>

#include "http/dispatch.h"
#include "os/event.h"

namespace qm {

struct Z_TLS;
struct Z_PRESSURE;
struct Z_REQUEST;

struct Z_RESPONSE {
  uint8_t encoding_br = 0;
  uint8_t encoding_gzip = 0;
  std::atomic<bool> in_config_use{false};  // the configuration gate flag of this slot
  Z_PATH path;
  // Written by the sender (the send thread, or the receive thread sending
  // inline), read by the receive thread.
  std::atomic<int64_t> result_send{0};  // bytes sent by the last send, or -1
  std::atomic<uint32_t> error_send{0};
  uint8_t over_tls = 0;
  uint8_t half_index = 0;  // which half is being filled
  // Set while a producer streams halves and reads the next one meanwhile:
  // its halves go to the send thread. Clear: a half is sent inline.
  bool streaming = false;
  char* send_base = nullptr;
  char* p_write = nullptr;  // the half the next bytes go into
  char* p_send = nullptr;   // the bytes handed to the send thread
  uint64_t size_write = 0;  // one half
  uint64_t size_send = 0;
  os::z_event send_event;  // auto-reset: a send is pending
  os::z_event done_event;  // auto-reset, initially set: the channel is free
  os::z_event file_event;  // auto-reset: lent to the read queue
  // The slot's connection channel and its pressure record; without a
  // channel (tests that record sends) every half goes to the send thread.
  Z_TLS* channel = nullptr;
  Z_PRESSURE* pressure = nullptr;
};

// Sends size bytes at bytes (inline when the channel is idle and nothing is
// streaming, else through the send thread after the previous send has
// finished, making the other half current). False when this or the
// previous send failed; keep_alive is then cleared.
bool send_packet(Z_RESPONSE& response, const char* bytes, uint64_t size, Z_REQUEST& request);

}  // namespace qm
