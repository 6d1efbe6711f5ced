// Test clients: a plain TCP client and an OpenSSL client on 127.0.0.1, and a
// reader of HTTP responses framed by Content-Length or chunks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;

namespace qm::test {

// A port that was free a moment ago (bound to port 0 and closed again).
uint16_t free_port();

struct tls_options {
  int min_version = 0;  // TLS1_2_VERSION etc.; 0: library default
  int max_version = 0;
  const char* cipher_list = nullptr;   // TLS 1.2 and below
  const char* ciphersuites = nullptr;  // TLS 1.3
  const char* groups = nullptr;        // e.g. "X25519", "P-256"
  const char* server_name = nullptr;   // SNI
};

class client {
 public:
  client() = default;
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  bool connect_to(uint16_t port, int receive_timeout_ms = 5000);
  // TLS on top of the connection; false when the handshake fails.
  bool start_tls(const tls_options& options);
  bool send_all(const std::string& bytes);
  // Whatever arrives until the peer closes or the timeout passes.
  std::string read_until_close();
  // One response: headers and a body framed by Content-Length or chunks
  // (or nothing for HEAD/304 when head_only). Empty on failure.
  std::string read_response(bool head_only = false);
  // The body of the last read_response, dechunked.
  const std::string& body() const { return body_; }
  // -1 error/timeout, 0 closed, >0 bytes.
  long read_some(char* out, unsigned long room);
  void close_now();
  int descriptor() const { return fd_; }
  std::string negotiated_protocol() const;

 private:
  bool fill();
  int fd_ = -1;
  ssl_ctx_st* ctx_ = nullptr;
  ssl_st* ssl_ = nullptr;
  std::string pending_;
  std::string body_;
};

// "HTTP/1.1 200 OK" of a response text.
std::string status_line(const std::string& response);
// The value of a header ("" when absent); name compared case-insensitively.
std::string header_value(const std::string& response, const std::string& name);

// Runs a shell command; its exit status.
int run(const std::string& command);
// A fresh temporary folder.
std::string temp_folder(const char* tag);
// A self-signed certificate and key for "localhost" in folder; days < 0 makes
// one that has already expired.
bool make_certificate(const std::string& folder, const std::string& name, int days);

}  // namespace qm::test
