// Test clients over loopback.
#include "tests/support/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm::test {

// A port free on every address of both families, as the server binds it
// (one dual-stack socket); IPv4 alone where the system has no IPv6.
uint16_t free_port() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd >= 0) {
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    socklen_t n = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
      ::close(fd);
      return ntohs(a.sin6_port);
    }
    ::close(fd);
  }
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(fd);
  return ntohs(a.sin_port);
}

client::~client() { close_now(); }

void client::close_now() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

bool client::connect_to(uint16_t port, int receive_timeout_ms) {
  ::signal(SIGPIPE, SIG_IGN);  // a server that closes first must not end the test
  close_now();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  timeval tv{receive_timeout_ms / 1000, (receive_timeout_ms % 1000) * 1000};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    ::usleep(20000);
  }
  return false;
}

bool client::start_tls(const tls_options& o) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) return false;
  SSL_CTX_set_security_level(ctx_, 0);  // let the test offer what it likes
  if (o.min_version != 0) SSL_CTX_set_min_proto_version(ctx_, o.min_version);
  if (o.max_version != 0) SSL_CTX_set_max_proto_version(ctx_, o.max_version);
  if (o.cipher_list != nullptr && SSL_CTX_set_cipher_list(ctx_, o.cipher_list) != 1) return false;
  if (o.ciphersuites != nullptr && SSL_CTX_set_ciphersuites(ctx_, o.ciphersuites) != 1) return false;
  if (o.groups != nullptr && SSL_CTX_set1_groups_list(ctx_, o.groups) != 1) return false;
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, fd_);
  if (o.server_name != nullptr) SSL_set_tlsext_host_name(ssl_, o.server_name);
  bool ok = SSL_connect(ssl_) == 1;
  ERR_clear_error();
  return ok;
}

std::string client::negotiated_protocol() const { return ssl_ != nullptr ? SSL_get_version(ssl_) : "plain"; }

bool client::send_all(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    long n = ssl_ != nullptr ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                             : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

long client::read_some(char* out, unsigned long room) {
  if (ssl_ != nullptr) {
    int n = SSL_read(ssl_, out, static_cast<int>(room));
    if (n > 0) return n;
    int e = SSL_get_error(ssl_, n);
    ERR_clear_error();
    return e == SSL_ERROR_ZERO_RETURN ? 0 : (e == SSL_ERROR_SYSCALL && n == 0 ? 0 : -1);
  }
  long n = ::recv(fd_, out, room, 0);
  return n;
}

bool client::fill() {
  char buffer[65536];
  long n = read_some(buffer, sizeof buffer);
  if (n <= 0) return false;
  pending_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::string client::read_until_close() {
  while (fill()) {
  }
  std::string all;
  all.swap(pending_);
  return all;
}

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

}  // namespace

std::string header_value(const std::string& response, const std::string& name) {
  size_t head_end = response.find("\r\n\r\n");
  std::string head = lower(response.substr(0, head_end));
  std::string key = "\r\n" + lower(name) + ": ";
  size_t at = head.find(key);
  if (at == std::string::npos) return "";
  size_t start = at + key.size();
  size_t end = response.find("\r\n", start);
  return response.substr(start, end - start);
}

std::string status_line(const std::string& response) { return response.substr(0, response.find("\r\n")); }

std::string client::read_response(bool head_only) {
  body_.clear();
  size_t head_end;
  while ((head_end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return "";
  }
  std::string head = pending_.substr(0, head_end + 4);
  pending_.erase(0, head_end + 4);
  std::string length = header_value(head, "Content-Length");
  bool chunked = header_value(head, "Transfer-Encoding") == "chunked";
  if (head_only) return head;
  if (chunked) {
    for (;;) {
      size_t line_end;
      while ((line_end = pending_.find("\r\n")) == std::string::npos) {
        if (!fill()) return "";
      }
      unsigned long size = std::strtoul(pending_.substr(0, line_end).c_str(), nullptr, 16);
      while (pending_.size() < line_end + 2 + size + 2) {
        if (!fill()) return "";
      }
      if (pending_.compare(line_end + 2 + size, 2, "\r\n") != 0) return "";
      body_.append(pending_, line_end + 2, size);
      pending_.erase(0, line_end + 2 + size + 2);
      if (size == 0) break;
    }
  } else if (!length.empty()) {
    size_t size = std::strtoull(length.c_str(), nullptr, 10);
    while (pending_.size() < size) {
      if (!fill()) return "";
    }
    body_ = pending_.substr(0, size);
    pending_.erase(0, size);
  }
  return head + body_;
}

int run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string temp_folder(const char* tag) {
  std::string pattern = std::string("/tmp/qm-") + tag + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  char* made = ::mkdtemp(buffer.data());
  ::chmod(made, 0755);
  return made != nullptr ? std::string(made) : std::string();
}

bool make_certificate(const std::string& folder, const std::string& name, int days) {
  EVP_PKEY* key = EVP_EC_gen("P-384");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) return false;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -2L * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), days > 0 ? days * 86400L : -86400L);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                             -1, 0);
  X509_set_issuer_name(cert, subject);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost");
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  X509_sign(cert, key, EVP_sha256());
  bool ok = false;
  FILE* k = std::fopen((folder + "/" + name + ".key").c_str(), "w");
  FILE* c = std::fopen((folder + "/" + name + ".pem").c_str(), "w");
  if (k != nullptr && c != nullptr) {
    ok = PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 && PEM_write_X509(c, cert) == 1;
  }
  if (k != nullptr) std::fclose(k);
  if (c != nullptr) std::fclose(c);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace qm::test
