// The TLS channel driven over a connected socket pair by an in-process
// OpenSSL client, and the server context's certificate loading.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/tls.h"
#include "os/output.h"
#include "os/socket.h"

namespace qm {
namespace {

// ---- certificates, made once per process -------------------------------------

// san: the subjectAltName entries; "DNS:" and the host when null.
void write_certificate(FILE* f, EVP_PKEY* key, const char* host, long not_before, long not_after,
                       const char* san = nullptr) {
  static long serial = 1;
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  X509_gmtime_adj(X509_getm_notBefore(x), not_before);
  X509_gmtime_adj(X509_getm_notAfter(x), not_after);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(host), -1, -1, 0);
  X509_set_issuer_name(x, name);
  std::string names = san != nullptr ? std::string(san) : std::string("DNS:") + host;
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, names.c_str());
  X509_add_ext(x, ext, -1);
  X509_EXTENSION_free(ext);
  X509_sign(x, key, EVP_sha384());
  PEM_write_X509(f, x);
  X509_free(x);
}

struct cert_files {
  std::string dir;
  std::string cert, key, both, other_key, rsa_key, expired_days, expired_hour, example, addresses, missing;

  cert_files() {
    char pattern[] = "/tmp/qm_tls_XXXXXX";
    dir = mkdtemp(pattern);
    EVP_PKEY* key_a = EVP_EC_gen("P-384");
    EVP_PKEY* key_b = EVP_EC_gen("P-384");
    const long day = 86400;
    cert = write(
        "cert.pem", [&](FILE* f) { write_certificate(f, key_a, "localhost", -day, 2 * day); });
    key = write("key.pem", [&](FILE* f) { write_private_key(f, key_a); });
    both = write("both.pem", [&](FILE* f) {
      write_certificate(f, key_a, "localhost", -day, 2 * day);
      write_private_key(f, key_a);
    });
    other_key = write("other.pem", [&](FILE* f) { write_private_key(f, key_b); });
    EVP_PKEY* key_rsa = EVP_RSA_gen(2048);
    rsa_key = write("rsa.pem", [&](FILE* f) { write_private_key(f, key_rsa); });
    EVP_PKEY_free(key_rsa);
    expired_days = write("expired_days.pem",
                         [&](FILE* f) { write_certificate(f, key_a, "localhost", -5 * day, -2 * day - 3600); });
    expired_hour = write("expired_hour.pem",
                         [&](FILE* f) { write_certificate(f, key_a, "localhost", -5 * day, -3600); });
    example = write("example.pem",
                    [&](FILE* f) { write_certificate(f, key_a, "example.org", -day, 2 * day); });
    addresses = write("addresses.pem", [&](FILE* f) {
      write_certificate(f, key_a, "localhost", -day, 2 * day, "DNS:localhost, IP:::1, IP:192.0.2.7");
    });
    missing = dir + "/none.pem";
    EVP_PKEY_free(key_a);
    EVP_PKEY_free(key_b);
  }
  ~cert_files() { std::filesystem::remove_all(dir); }

  static void write_private_key(FILE* f, EVP_PKEY* key) {
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  }
  std::string write(const char* name, const std::function<void(FILE*)>& body) {
    std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "w");
    body(f);
    fclose(f);
    return path;
  }
};

const cert_files& files() {
  static cert_files made;
  return made;
}

std::u16string u16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

int load(const std::string& cer, const std::string& key) {
  return load_certificate(u16(cer).c_str(), u16(key).c_str());
}

// What body printed on standard output.
std::string printed_by(const std::function<void()>& body) {
  FILE* f = tmpfile();
  os::set_out_descriptor(fileno(f));
  body();
  os::set_out_descriptor(1);
  std::string text;
  rewind(f);
  char chunk[4096];
  size_t n = 0;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
}

// ---- a client on its own thread ------------------------------------------------

struct client_options {
  int min_version = 0;
  int max_version = 0;
  const char* ciphers = nullptr;  // TLS 1.2 list
  const char* groups = nullptr;
};

class tls_client {
 public:
  tls_client(int fd, client_options options, std::function<void(SSL*)> body = {})
      : thread_([this, fd, options, body] { run(fd, options, body); }) {}
  // Waits for the client; true when its handshake succeeded.
  bool join() {
    thread_.join();
    return connected_;
  }

 private:
  void run(int fd, client_options options, const std::function<void(SSL*)>& body) {
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);  // so that the old protocols are offered at all
    if (options.min_version != 0) SSL_CTX_set_min_proto_version(ctx, options.min_version);
    if (options.max_version != 0) SSL_CTX_set_max_proto_version(ctx, options.max_version);
    if (options.ciphers != nullptr) SSL_CTX_set_cipher_list(ctx, options.ciphers);
    if (options.groups != nullptr) SSL_CTX_set1_groups_list(ctx, options.groups);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    connected_ = SSL_connect(ssl) == 1;
    if (connected_ && body) body(ssl);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
  }
  bool connected_ = false;
  std::thread thread_;
};

// The server end of a socket pair as a slot holds it.
struct server_channel {
  Z_TLS tls;
  std::vector<char> raw = std::vector<char>(16384);

  explicit server_channel(int fd) {
    channel_init(tls);
    tls.so = fd;
    tls.p_recv = raw.data();
    tls.p_recv_size = raw.size();
    os::socket_set_receive_timeout(fd, 5000);
  }
  ~server_channel() { channel_destroy(tls); }
};

struct socket_pair {
  int server = -1;
  int client = -1;
  socket_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      server = fds[0];
      client = fds[1];
    }
  }
};

// The process's TLS state as the engine build leaves it.
class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
  void SetUp() override {
    tls_ready = false;
    cert_valid = false;
    tls_report = true;
    no_weak_ciphers = 0;
    version_line = printed_by([] { ASSERT_TRUE(create_server_context()); });
  }
  void TearDown() override { free_server_context(); }
  void load_good() { ASSERT_EQ(load(files().cert, files().key), 0); }

  // Handshakes one client; true when the server's side succeeded, which the
  // client's side must agree with.
  bool handshake_with(client_options options, int32_t* server_error = nullptr) {
    socket_pair pair;
    EXPECT_GE(pair.server, 0);
    server_channel channel(pair.server);
    EXPECT_TRUE(channel_start_tls(channel.tls));
    tls_client client(pair.client, options);
    bool ok = channel.tls.handshake() == 0;
    if (server_error != nullptr) *server_error = channel.tls.ssl_error;
    channel_release(channel.tls);
    EXPECT_EQ(client.join(), ok);
    return ok;
  }

  std::string version_line;
};

TEST_F(TlsTest, ContextCreationPrintsTheLibraryVersion) {
  EXPECT_EQ(version_line, std::string(OPENSSL_VERSION_TEXT) + "\n");
  EXPECT_TRUE(server_context_exists());
  free_server_context();
  EXPECT_FALSE(server_context_exists());
}

struct handshake_case {
  const char* label;
  client_options client;
  uint8_t selector;
  const char16_t* groups;  // null: OpenSSL's defaults
  bool admitted;
};

TEST_F(TlsTest, HandshakeFollowsProtocolFloorCiphersAndGroups) {
  const handshake_case cases[] = {
      {"OpenSSL's groups until a value is applied", {0, 0, nullptr, "P-256"}, 0, nullptr, true},
      {"TLS 1.2", {TLS1_2_VERSION, TLS1_2_VERSION}, 0, nullptr, true},
      {"TLS 1.3", {TLS1_3_VERSION, TLS1_3_VERSION}, 0, nullptr, true},
      {"TLS 1.0 refused", {TLS1_VERSION, TLS1_VERSION, "DEFAULT:@SECLEVEL=0"}, 0, nullptr, false},
      {"TLS 1.1 refused", {TLS1_1_VERSION, TLS1_1_VERSION, "DEFAULT:@SECLEVEL=0"}, 0, nullptr, false},
      {"CBC suite admitted by selector 0", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384"}, 0,
       nullptr, true},
      {"CBC suite refused by selector 1", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384"}, 1,
       nullptr, false},
      {"SHA-1 suite admitted by selector 0", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA"}, 0,
       nullptr, true},
      {"SHA-1 suite refused by selector 1", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA"}, 1,
       nullptr, false},
      {"AEAD suite admitted by selector 1", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384"}, 1,
       nullptr, true},
      {"TLS 1.3 unaffected by selector 1", {TLS1_3_VERSION, TLS1_3_VERSION}, 1, nullptr, true},
      {"384 refuses X25519", {0, 0, nullptr, "X25519"}, 0, u"384", false},
      {"384 refuses P-256", {0, 0, nullptr, "P-256"}, 0, u"384", false},
      {"384 refuses X25519 over TLS 1.2", {TLS1_2_VERSION, TLS1_2_VERSION, nullptr, "X25519"}, 0, u"384", false},
      {"384 admits P-384", {0, 0, nullptr, "P-384"}, 0, u"384", true},
      {"256 admits X25519", {0, 0, nullptr, "X25519"}, 0, u"256", true},
      {"256 refuses P-256", {0, 0, nullptr, "P-256"}, 0, u"256", false},
      {"521 refuses P-384", {0, 0, nullptr, "P-384"}, 0, u"521", false},
      // Each row ends with "256" applied, which an unknown value keeps.
      {"unknown value keeps the last list", {0, 0, nullptr, "P-256"}, 0, u"255", false},
      {"unknown value keeps the last list, X25519", {0, 0, nullptr, "X25519"}, 0, u"2560", true},
  };
  load_good();
  for (const handshake_case& row : cases) {
    SCOPED_TRACE(row.label);
    // Options and groups are changed after the certificate, as a reload does.
    apply_tls_options(row.selector);
    if (row.groups != nullptr) set_groups(row.groups);
    int32_t server_error = 0;
    EXPECT_EQ(handshake_with(row.client, &server_error), row.admitted);
    // A refusal is the server's own decision, not a client that gave up.
    if (!row.admitted) {
      EXPECT_EQ(server_error, SSL_ERROR_SSL);
    }
    set_groups(u"256");
  }
}

TEST_F(TlsTest, HandshakeWithoutCertificateFails) {
  EXPECT_FALSE(handshake_with({}));
}

// A ClientHello from a client that leaves at once: the server's reply cannot
// be sent. The slot's lock outlives the connection, so the failed handshake
// must leave it free for the slot's next client.
TEST_F(TlsTest, HandshakeWhoseReplyCannotBeSentLeavesTheLockFree) {
  load_good();
  std::string hello;
  {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_connect(ssl);
    char* data = nullptr;
    long length = BIO_get_mem_data(out, &data);
    hello.assign(data, static_cast<size_t>(length));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
  ASSERT_GT(hello.size(), 6u);
  socket_pair pair;
  server_channel channel(pair.server);
  ASSERT_TRUE(channel_start_tls(channel.tls));
  ASSERT_EQ(write(pair.client, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  close(pair.client);
  EXPECT_NE(channel.tls.handshake(), 0);
  EXPECT_EQ(os::event_wait(channel.tls.lock_event, 0), os::wait_result::signaled) << "the lock was kept";
  os::event_set(channel.tls.lock_event);
  channel_release(channel.tls);

  // The same slot serves its next client.
  socket_pair next;
  channel.tls.so = next.server;
  os::socket_set_receive_timeout(next.server, 5000);
  ASSERT_TRUE(channel_start_tls(channel.tls));
  tls_client client(next.client, {});
  EXPECT_EQ(channel.tls.handshake(), 0);
  channel_release(channel.tls);
  EXPECT_TRUE(client.join());
}

std::vector<char> patterned(uint64_t size) {
  std::vector<char> bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + (i >> 16)) & 0xFF);
  return bytes;
}

bool read_exactly(SSL* ssl, char* out, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    int n = SSL_read(ssl, out + done, static_cast<int>(std::min<uint64_t>(size - done, 1 << 20)));
    if (n <= 0) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

// The slot's two threads at once: the send thread writes a response of
// several batches while the receive thread waits in tls.recv for the next
// request, which the client sends only after reading the whole response.
TEST_F(TlsTest, LargeResponseArrivesWholeWhileReceiveWaits) {
  const std::string first = "GET /big HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const std::string second = "GET /next HTTP/1.1\r\n\r\n";
  const std::vector<char> response = patterned(3 * 196608 + 12345);
  load_good();
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version == TLS1_2_VERSION ? "TLS 1.2" : "TLS 1.3");
    socket_pair pair;
    server_channel channel(pair.server);
    ASSERT_TRUE(channel_start_tls(channel.tls));
    std::vector<char> arrived(response.size());
    bool arrived_whole = false;
    tls_client client(pair.client, {version, version}, [&](SSL* ssl) {
      SSL_write(ssl, first.data(), static_cast<int>(first.size()));
      arrived_whole = read_exactly(ssl, arrived.data(), arrived.size());
      SSL_write(ssl, second.data(), static_cast<int>(second.size()));
      char end = 0;
      SSL_read(ssl, &end, 1);  // until the server closes
    });
    ASSERT_EQ(channel.tls.handshake(), 0);

    char buffer[4096];
    int64_t n = channel.tls.recv(buffer, sizeof buffer);
    ASSERT_EQ(std::string(buffer, n > 0 ? n : 0), first);

    int64_t sent = 0;
    std::thread sender([&] { sent = channel.tls.send(response.data(), response.size()); });
    n = channel.tls.recv(buffer, sizeof buffer);
    sender.join();
    EXPECT_EQ(sent, static_cast<int64_t>(response.size()));
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), second);
    channel_release(channel.tls);
    client.join();
    EXPECT_TRUE(arrived_whole);
    EXPECT_TRUE(arrived == response);
  }
}

TEST_F(TlsTest, PlainChannelPassesBytesThrough) {
  socket_pair pair;
  server_channel channel(pair.server);
  const std::string text = "GET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(write(pair.client, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  char buffer[64];
  int64_t n = channel.tls.recv(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), text);
  EXPECT_EQ(channel.tls.send("pong", 4), 4);
  char reply[8] = {};
  EXPECT_EQ(read(pair.client, reply, sizeof reply), 4);
  EXPECT_STREQ(reply, "pong");
  channel_release(channel.tls);
  EXPECT_EQ(channel.tls.so, os::invalid_socket);
  // The peer sees the connection closed.
  EXPECT_EQ(read(pair.client, reply, sizeof reply), 0);
  close(pair.client);
}

TEST_F(TlsTest, ReleasedChannelRefusesUse) {
  load_good();
  socket_pair pair;
  server_channel channel(pair.server);
  ASSERT_TRUE(channel_start_tls(channel.tls));
  channel.tls.reference_count = 0;  // as after the owner's release
  EXPECT_EQ(channel.tls.handshake(), -1);
  char buffer[16];
  EXPECT_EQ(channel.tls.recv(buffer, sizeof buffer), -1);
  EXPECT_EQ(channel.tls.send("x", 1), -1);
  EXPECT_EQ(channel.tls.ssl_error, -1);
  channel.tls.reference_count = 1;
  channel_release(channel.tls);
  close(pair.client);
}

struct load_case {
  const char* label;
  std::string cer;
  std::string key;
  bool report;
  int result;
  std::string out;
  std::string err;
};

TEST_F(TlsTest, LoadCertificateReportsEachFailure) {
  const cert_files& f = files();
  const std::string mismatch = "Private key does not match the public certificate\n";
  const load_case cases[] = {
      {"certificate and key", f.cert, f.key, true, 0, "", ""},
      {"one file holding both", f.both, f.both, true, 0, "", ""},
      {"missing certificate", f.missing, f.key, true, -1,
       "invalid or missing certificate file\n" + f.missing + "\n\n", ""},
      {"missing certificate, silent", f.missing, f.key, false, -1, "", ""},
      {"key file without a key", f.cert, f.cert, true, -1, "invalid or missing key file\n" + f.cert + "\n\n", ""},
      {"missing key", f.cert, f.missing, true, -1, "invalid or missing key file\n" + f.missing + "\n\n", ""},
      {"missing key, silent", f.cert, f.missing, false, -1, "", ""},
      // OpenSSL refuses a key of the certificate's type that is not its own
      // as it loads it; a key of another type loads and fails the check.
      {"other key of the same type", f.cert, f.other_key, true, -1,
       "invalid or missing key file\n" + f.other_key + "\n\n", ""},
      {"key of another type", f.cert, f.rsa_key, true, -1, "", mismatch},
      {"key of another type, silent", f.cert, f.rsa_key, false, -1, "", ""},
      {"empty names", "", "", true, -1, "", ""},
  };
  for (const load_case& row : cases) {
    SCOPED_TRACE(row.label);
    tls_ready = false;
    tls_report = row.report;
    int result = 1;
    ::testing::internal::CaptureStderr();
    std::string out = printed_by([&] { result = load(row.cer, row.key); });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), row.err);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(tls_ready.load(), row.result == 0);
  }
}

TEST_F(TlsTest, LoadWithoutContextFails) {
  free_server_context();
  EXPECT_EQ(load(files().cert, files().key), -1);
  EXPECT_FALSE(tls_ready);
}

TEST_F(TlsTest, ExpiredCertificateIsServedButNotValid) {
  const struct {
    const char* label;
    std::string cer;
    std::string message;
  } cases[] = {
      {"two days ago", files().expired_days, "certificate expired 2 days ago\n\n"},
      {"an hour ago", files().expired_hour, "certificate expired 0 days ago\n\n"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    tls_ready = false;
    cert_valid = false;
    int result = -1;
    EXPECT_EQ(printed_by([&] { result = load(row.cer, files().key); }), row.message);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(tls_ready);
    EXPECT_FALSE(cert_valid);
    EXPECT_TRUE(handshake_with({}));
  }
  load_good();
  EXPECT_TRUE(cert_valid);
}

TEST_F(TlsTest, CertificateCoversItsHostOnly) {
  EXPECT_FALSE(server_certificate_covers("localhost", 9));  // nothing loaded yet
  load_good();
  const struct {
    const char* host;
    bool covered;
  } cases[] = {{"localhost", true}, {"LOCALHOST", true}, {"example.org", false}, {"www.localhost", false}};
  for (const auto& row : cases) {
    SCOPED_TRACE(row.host);
    EXPECT_EQ(server_certificate_covers(row.host, strlen(row.host)), row.covered);
  }
  // A length shorter than the text checks only that prefix.
  EXPECT_FALSE(server_certificate_covers("localhost", 5));
}

// Host names as the Host header gives them: an IPv6 address in brackets.
TEST_F(TlsTest, CertificateCoversItsAddresses) {
  ASSERT_EQ(load(files().addresses, files().key), 0);
  const struct {
    const char* host;
    bool covered;
  } cases[] = {
      {"[::1]", true},
      {"[0:0:0:0:0:0:0:1]", true},
      {"[::2]", false},
      {"[::1", false},
      {"::1", false},
      {"[]", false},
      {"[localhost]", false},
      {"192.0.2.7", true},
      {"192.0.2.8", false},
      {"192.0.2.7.example.org", false},
      {"[192.0.2.7]", false},
      {"localhost", true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.host);
    EXPECT_EQ(server_certificate_covers(row.host, strlen(row.host)), row.covered);
  }
  EXPECT_FALSE(server_certificate_covers("[::1]:443", 9)) << "the name comes without its port";
  std::string long_address = "[" + std::string(70, '0') + "::1]";
  EXPECT_FALSE(server_certificate_covers(long_address.data(), long_address.size()));
}

TEST_F(TlsTest, ReloadReplacesOrKeepsTheLoadedCertificate) {
  load_good();
  tls_report = false;
  // A failed reload leaves the certificate that is being served.
  EXPECT_EQ(load(files().cert, files().other_key), -1);
  EXPECT_TRUE(server_certificate_covers("localhost", 9));
  EXPECT_TRUE(handshake_with({}));
  // A good one replaces it.
  EXPECT_EQ(load(files().example, files().key), 0);
  EXPECT_TRUE(server_certificate_covers("example.org", 11));
  EXPECT_FALSE(server_certificate_covers("localhost", 9));
  EXPECT_TRUE(handshake_with({}));
}

// Reloads change the context while slots make SSL objects from it, check the
// certificate and complete handshakes; run under the thread sanitizer.
TEST_F(TlsTest, ReloadDuringConnectionsIsSafe) {
  load_good();
  std::atomic<bool> done{false};
  std::thread reload([&] {
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(load(i % 3 == 0 ? files().both : files().cert, i % 3 == 0 ? files().both : files().key), 0);
      set_groups(i % 2 == 0 ? u"384" : u"256");
      apply_tls_options(static_cast<uint8_t>(i % 2));
    }
    done = true;
  });
  auto slot = [&] {
    while (!done) {
      Z_TLS tls;
      channel_init(tls);
      EXPECT_TRUE(channel_start_tls(tls));
      channel_destroy(tls);
    }
  };
  std::thread slot_a(slot);
  std::thread slot_b(slot);
  std::thread checker([&] {
    while (!done) EXPECT_TRUE(server_certificate_covers("localhost", 9));
  });
  int handshakes = 0;
  while (!done || handshakes == 0) {
    // P-384 is in both group lists; TLS 1.3 is unaffected by the selector.
    EXPECT_TRUE(handshake_with({TLS1_3_VERSION, TLS1_3_VERSION, nullptr, "P-384"}));
    ++handshakes;
  }
  reload.join();
  slot_a.join();
  slot_b.join();
  checker.join();
}

}  // namespace
}  // namespace qm
