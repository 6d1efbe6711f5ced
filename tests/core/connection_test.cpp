// The life of a connection against the running server: plain and TLS on one
// port, pipelining, the TLS decision, timeouts and shutdown of busy slots.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <string>

#include "core/engine.h"
#include "core/tls.h"
#include "tests/support/client.h"
#include "tests/support/server.h"

namespace qm::test {
namespace {

const std::string keep_alive_get = "GET / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";
const std::string keep_alive_head = "HEAD / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";

class Connections : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = temp_folder("conn");
    ASSERT_TRUE(make_certificate(folder_, "localhost", 2));
    ASSERT_TRUE(server_.start(folder_ + "/localhost.pem", folder_ + "/localhost.key"));
  }
  static void TearDownTestSuite() { server_.stop(); }
  static std::string folder_;
  static server server_;
};
std::string Connections::folder_;
server Connections::server_;

TEST_F(Connections, PlainRequestIsAnsweredAndKeptAlive) {
  client c;
  ASSERT_TRUE(c.connect_to(server_.port()));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.send_all(keep_alive_get));
    std::string r = c.read_response();
    ASSERT_FALSE(r.empty()) << "request " << i;
    EXPECT_EQ(header_value(r, "Connection"), "keep-alive");
  }
}

TEST_F(Connections, PipelinedRequestsAreAnsweredInOrder) {
  client c;
  ASSERT_TRUE(c.connect_to(server_.port()));
  // A GET, a HEAD and the first half of another GET in one send.
  std::string third = keep_alive_get;
  ASSERT_TRUE(c.send_all(keep_alive_get + keep_alive_head + third.substr(0, 20)));
  std::string first = c.read_response();
  EXPECT_FALSE(c.body().empty());
  std::string second = c.read_response(true);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  // The HEAD answer carries the GET's length but no body: the next bytes on
  // the wire are the third response's status line.
  ASSERT_TRUE(c.send_all(third.substr(20)));
  std::string last = c.read_response();
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.rfind("HTTP/1.1 ", 0), 0u);
  EXPECT_EQ(c.body(), std::string(first.substr(first.find("\r\n\r\n") + 4)));
}

// HTTP/1.1 persists by default; "close", and HTTP/1.0 without keep-alive,
// end the connection after the answer.
TEST_F(Connections, ConnectionsPersistUnlessTheClientSaysOtherwise) {
  struct row {
    const char* label;
    const char* request;
    bool closed;
  };
  const row rows[] = {
      {"HTTP/1.1 without a Connection header", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
      {"HTTP/1.1 with close", "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true},
      {"HTTP/1.0 without keep-alive", "GET / HTTP/1.0\r\n\r\n", true},
      {"HTTP/1.0 with keep-alive", "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    client c;
    ASSERT_TRUE(c.connect_to(server_.port()));
    ASSERT_TRUE(c.send_all(r.request));
    std::string first = c.read_response();
    EXPECT_EQ(first.rfind("HTTP/1.1 ", 0), 0u);
    EXPECT_EQ(header_value(first, "Connection"), r.closed ? "close" : "keep-alive");
    if (r.closed) {
      EXPECT_EQ(c.read_until_close(), "");
    } else {
      ASSERT_TRUE(c.send_all("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
      EXPECT_EQ(c.read_until_close().rfind("HTTP/1.1 ", 0), 0u) << "a second request on the same connection";
    }
  }
}

TEST_F(Connections, TlsTwelveAndThirteenOnThePlainPort) {
  struct row {
    const char* label;
    int version;
    const char* expected;
  };
  for (const row& r : {row{"TLS 1.2", TLS1_2_VERSION, "TLSv1.2"}, row{"TLS 1.3", TLS1_3_VERSION, "TLSv1.3"}}) {
    SCOPED_TRACE(r.label);
    client c;
    ASSERT_TRUE(c.connect_to(server_.port()));
    tls_options o;
    o.min_version = o.max_version = r.version;
    ASSERT_TRUE(c.start_tls(o));
    EXPECT_EQ(c.negotiated_protocol(), r.expected);
    ASSERT_TRUE(c.send_all(keep_alive_get));
    std::string response = c.read_response();
    ASSERT_FALSE(response.empty());
    EXPECT_NE(header_value(response, "Strict-Transport-Security"), "");
    ASSERT_TRUE(c.send_all(keep_alive_get));
    EXPECT_FALSE(c.read_response().empty());
  }
}

TEST_F(Connections, OldTlsVersionsAreRefused) {
  for (int version : {TLS1_VERSION, TLS1_1_VERSION}) {
    SCOPED_TRACE(version);
    client c;
    ASSERT_TRUE(c.connect_to(server_.port()));
    tls_options o;
    o.min_version = o.max_version = version;
    o.cipher_list = "ALL:@SECLEVEL=0";
    EXPECT_FALSE(c.start_tls(o));
  }
}

TEST_F(Connections, CipherAndGroupSettingsOfTheRunningServer) {
  struct row {
    const char* label;
    uint8_t weak_selector;
    const char16_t* groups;
    tls_options client_offer;
    bool accepted;
  };
  const row rows[] = {
      {"CBC-only TLS 1.2 client, weak ciphers allowed", 0, u"256",
       {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA", nullptr, nullptr, nullptr},
       true},
      {"CBC-only TLS 1.2 client, no weak ciphers", 1, u"256",
       {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA", nullptr, nullptr, nullptr},
       false},
      {"TLS 1.3 unaffected by no weak ciphers", 1, u"256", {TLS1_3_VERSION, TLS1_3_VERSION, nullptr, nullptr, nullptr, nullptr},
       true},
      {"groups 384 refuse X25519", 0, u"384", {0, 0, nullptr, nullptr, "X25519", nullptr}, false},
      {"groups 384 refuse P-256", 0, u"384", {0, 0, nullptr, nullptr, "P-256", nullptr}, false},
      {"groups 384 admit P-384", 0, u"384", {0, 0, nullptr, nullptr, "P-384", nullptr}, true},
      {"groups 256 admit X25519", 0, u"256", {0, 0, nullptr, nullptr, "X25519", nullptr}, true},
      {"groups 256 refuse P-256", 0, u"256", {0, 0, nullptr, nullptr, "P-256", nullptr}, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    apply_tls_options(r.weak_selector);
    set_groups(r.groups);
    client c;
    ASSERT_TRUE(c.connect_to(server_.port()));
    bool ok = c.start_tls(r.client_offer) && c.send_all(keep_alive_get) && !c.read_response().empty();
    EXPECT_EQ(ok, r.accepted);
  }
  apply_tls_options(0);
  set_groups(u"256");
}

TEST_F(Connections, RecordThatIsNotAClientHelloIsReadAsPlainHttp) {
  client c;
  ASSERT_TRUE(c.connect_to(server_.port()));
  // A handshake record header whose message type (byte 5) is not ClientHello.
  ASSERT_TRUE(c.send_all(std::string("\x16\x03\x01\x00\x05\x02zzzz\r\n\r\n", 14)));
  std::string all = c.read_until_close();
  EXPECT_EQ(status_line(all), "HTTP/1.1 400 Bad Request");
}

TEST_F(Connections, ClientHelloWithoutCertificateIsClosedSilently) {
  tls_ready = false;
  client c;
  ASSERT_TRUE(c.connect_to(server_.port()));
  tls_options o;
  EXPECT_FALSE(c.start_tls(o));
  tls_ready = true;
}

TEST_F(Connections, SilentConnectionIsClosedAfterAboutSixteenSeconds) {
  client c;
  ASSERT_TRUE(c.connect_to(server_.port(), 30000));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(c.read_until_close(), "");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GT(seconds, 14.5);
  EXPECT_LT(seconds, 19.0);
}

TEST(ConnectionShutdown, BusySlotIsWokenAndEndsWithinTheGrace) {
  // A slot waiting for the rest of a request is woken when its connection is
  // shut down; it ends within the grace time, so no terminate lines appear.
  server s;
  ASSERT_TRUE(s.start());
  client waiting;
  ASSERT_TRUE(waiting.connect_to(s.port()));
  ASSERT_TRUE(waiting.send_all("GET / HTT"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto begin = std::chrono::steady_clock::now();
  std::string said = s.stop();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(said.find("terminate_"), std::string::npos) << said;
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(waiting.read_until_close(), "");
}

}  // namespace
}  // namespace qm::test
