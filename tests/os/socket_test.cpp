#include "os/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "os/error.h"
#include "os/thread.h"

namespace qm::os {
namespace {

constexpr int sock_stream = 1;
constexpr int ipproto_tcp = 6;

struct listener_fixture : ::testing::Test {
  socket_t listening = invalid_socket;
  z_sockaddr_in address;

  void SetUp() override {
    listening = socket_create(sock_stream, ipproto_tcp);
    ASSERT_NE(listening, invalid_socket);
    EXPECT_EQ(socket_set_int(listening, socket_option::reuse_address, 1), 0);
    address.family = af_inet;
    ASSERT_TRUE(parse_ipv4("127.0.0.1", &address.address));
    ASSERT_EQ(socket_bind(listening, address), 0);
    ASSERT_EQ(socket_listen(listening, 8), 0);
    address.port = host_to_net16(socket_local_port(listening));
    ASSERT_NE(address.port, 0);
  }
  void TearDown() override {
    if (listening != invalid_socket) socket_close(listening);
  }
  // A connected pair: client and the accepted server end.
  void connect_pair(socket_t* client, socket_t* server) {
    *client = socket_create(sock_stream, ipproto_tcp);
    ASSERT_EQ(socket_connect(*client, address), 0);
    z_sockaddr_in peer;
    *server = socket_accept(listening, &peer);
    ASSERT_NE(*server, invalid_socket);
    EXPECT_EQ(peer.family, af_inet);
    EXPECT_EQ(peer.address, address.address);
  }
};

struct accept_result {
  socket_t listening;
  std::atomic<socket_t> accepted{0};
  std::atomic<uint32_t> error{0};
};

void accept_once(void* argument) {
  auto* result = static_cast<accept_result*>(argument);
  result->accepted.store(socket_accept(result->listening, nullptr));
  result->error.store(last_error());  // the last error is the thread's own
}

TEST_F(listener_fixture, ShutdownUnblocksAcceptWithAcceptClosed) {
  accept_result result;
  result.listening = listening;
  thread_handle thread;
  ASSERT_EQ(thread_start(thread, 65536, accept_once, &result), 0u);
  sleep_ms(50);  // let it block in accept
  EXPECT_FALSE(thread_join(thread, 0));
  EXPECT_EQ(socket_shutdown(listening), 0);
  ASSERT_TRUE(thread_join(thread, 5000));
  EXPECT_EQ(result.accepted.load(), invalid_socket);
  EXPECT_EQ(result.error.load(), err_accept_closed);
}

TEST_F(listener_fixture, ReceiveTimeoutGivesTimedOut) {
  socket_t client, server;
  connect_pair(&client, &server);
  ASSERT_EQ(socket_set_receive_timeout(server, 50), 0);
  char byte;
  set_last_error(0);
  EXPECT_EQ(socket_recv(server, &byte, 1, false), -1);
  EXPECT_EQ(last_error(), err_timed_out);
  socket_close(client);
  EXPECT_EQ(socket_recv(server, &byte, 1, false), 0);  // the peer closed
  socket_close(server);
}

struct bulk_send {
  socket_t so;
  std::vector<unsigned char> bytes;
  std::atomic<int64_t> result{0};
};

void send_all(void* argument) {
  auto* job = static_cast<bulk_send*>(argument);
  job->result.store(socket_send(job->so, job->bytes.data(), job->bytes.size()));
}

TEST_F(listener_fixture, SendContinuesUntilEveryByteIsSentAndPeekKeepsBytes) {
  socket_t client, server;
  connect_pair(&client, &server);
  bulk_send job;
  job.so = server;
  job.bytes.resize(8 * 1024 * 1024 + 3);  // far beyond the socket buffers
  for (size_t i = 0; i < job.bytes.size(); ++i) job.bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 12));
  thread_handle thread;
  ASSERT_EQ(thread_start(thread, 65536, send_all, &job), 0u);
  ASSERT_EQ(socket_wait_writable(client), 1);

  unsigned char peeked[6];
  int64_t n = socket_recv(client, peeked, sizeof peeked, true);
  ASSERT_GT(n, 0);
  EXPECT_EQ(peeked[0], job.bytes[0]);
  std::vector<unsigned char> received(job.bytes.size());
  size_t at = 0;
  while (at < received.size()) {
    n = socket_recv(client, received.data() + at, received.size() - at, false);
    ASSERT_GT(n, 0);
    at += static_cast<size_t>(n);
  }
  ASSERT_TRUE(thread_join(thread, 10000));
  EXPECT_EQ(job.result.load(), static_cast<int64_t>(job.bytes.size()));
  EXPECT_TRUE(received == job.bytes);
  socket_close(client);
  socket_close(server);
}

TEST_F(listener_fixture, SendToAClosedPeerFailsWithoutASignal) {
  socket_t client, server;
  connect_pair(&client, &server);
  socket_close(client);
  static unsigned char chunk[65536];
  int64_t result = 0;
  for (int i = 0; i < 100 && result >= 0; ++i) result = socket_send(server, chunk, sizeof chunk);
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(last_error() == err_broken_pipe || last_error() == err_conn_reset) << last_error();
  socket_close(server);
}

TEST(Socket, StartupParseAndByteOrder) {
  uint16_t granted = 0;
  EXPECT_EQ(sockets_startup(0x0202, &granted), 0u);
  EXPECT_EQ(granted, 0x0202);
  uint32_t address = 0;
  EXPECT_TRUE(parse_ipv4("127.0.0.1", &address));
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  EXPECT_EQ(bytes[0], 127);
  EXPECT_EQ(bytes[3], 1);
  EXPECT_FALSE(parse_ipv4("127.0.0", &address));
  EXPECT_FALSE(parse_ipv4("localhost", &address));
  EXPECT_EQ(net_to_host16(host_to_net16(8080)), 8080);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&(granted = host_to_net16(0x1234)))[0], 0x12);
}

}  // namespace
}  // namespace qm::os
