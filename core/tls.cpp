// The connection channel and the process's TLS server context.
//
// The context is shared by every slot for SSL_new while a configuration
// reload may change it (options, groups, certificate). One mutex serialises
// SSL object creation, every change of the context and every look at its
// certificate, so they never overlap. A certificate and key are checked in a
// scratch context before they are loaded into the live one, so a reload that
// names broken files never leaves the live context half-changed.
#include "core/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>

#include "content/header.h"
#include "os/error.h"
#include "os/output.h"

namespace qm {

std::atomic<bool> tls_ready{false};
std::atomic<bool> cert_valid{false};
std::atomic<bool> tls_report{false};
std::atomic<uint8_t> no_weak_ciphers{0};

namespace {

SSL_CTX* server_ctx = nullptr;
std::mutex context_lock;  // guards server_ctx and every change of it

constexpr uint64_t name_buffer = 65536;
constexpr int max_write = 196608;  // one SSL_write batch

const char* const cipher_lists[2] = {
    "CHACHA20:ECDHE+AESGCM:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128",
    "CHACHA20:ECDHE+AESGCM:!CBC:!SHA1:!CAMELLIA:!AES128",
};
const char* const tls13_suites = "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

struct group_list {
  const char16_t* value;
  int nids[5];
  int count;
};

const group_list group_lists[] = {
    {u"256", {1034, 715, 1035, 716, 714}, 5},
    {u"384", {715, 1035, 716}, 3},
    {u"448", {1035, 716}, 2},
    {u"521", {716}, 1},
};

bool wide_equals(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

// The channel's lock: an auto-reset event taken by a wait and given back by a set.
void lock(Z_TLS& tls) {
  if (tls.lock_event.created) os::event_wait(tls.lock_event, os::wait_forever);
}
void unlock(Z_TLS& tls) {
  if (tls.lock_event.created) os::event_set(tls.lock_event);
}

bool take_reference(Z_TLS& tls) {
  if (tls.reference_count.fetch_add(1) <= 0) {
    tls.reference_count.fetch_sub(1);
    return false;
  }
  return true;
}

void free_session(SSL* ssl) {
  SSL_shutdown(ssl);
  SSL_free(ssl);
  ERR_clear_error();
}

// Drops one reference; the last one frees the SSL object.
void drop_reference(Z_TLS& tls, SSL* ssl) {
  if (tls.reference_count.fetch_sub(1) == 1 && ssl != nullptr) free_session(ssl);
}

// One blocking send of every byte, waiting for room when the system has no buffers.
int64_t send_routine(Z_TLS& tls, const void* bytes, uint64_t count) {
  for (;;) {
    int64_t result = os::socket_send(tls.so, bytes, count);
    if (result > 0) return result;
    tls.send_error = os::last_error();
    if (tls.send_error != os::err_no_buffers) return result;
    if (os::socket_wait_writable(tls.so) <= 0) return result;
    tls.send_error = 0;
  }
}

// A receive of raw bytes that repeats only for an interrupted call.
int64_t raw_recv(Z_TLS& tls, void* buffer, uint64_t size) {
  int64_t result;
  while ((result = os::socket_recv(tls.so, buffer, size, false)) <= 0) {
    tls.sock_error = os::last_error();
    if (result < 0 && tls.sock_error == os::err_interrupted) {
      tls.sock_error = 0;
      continue;
    }
    break;
  }
  return result;
}

void apply_options_locked(uint8_t selector) {
  if (server_ctx == nullptr) return;
  SSL_CTX_set_min_proto_version(server_ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(server_ctx, cipher_lists[selector != 0 ? 1 : 0]);
  SSL_CTX_set_ciphersuites(server_ctx, tls13_suites);
  SSL_CTX_set_options(server_ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_security_level(server_ctx, 2);
  ERR_clear_error();
}

// Loads chain and key into ctx; 0, or the step that failed (1 chain, 2 key, 3 match).
int load_pair(SSL_CTX* ctx, const char* cer, const char* key) {
  if (SSL_CTX_use_certificate_chain_file(ctx, cer) != 1) return 1;
  if (SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1) return 2;
  if (SSL_CTX_check_private_key(ctx) != 1) return 3;
  return 0;
}

void report_load_failure(int step, const char* cer, const char* key) {
  if (!tls_report) return;
  if (step == 1) os::out("invalid or missing certificate file\n%s\n\n", cer);
  else if (step == 2) os::out("invalid or missing key file\n%s\n\n", key);
  else os::err("Private key does not match the public certificate\n");
}

void check_expiry_locked() {
  X509* cert = SSL_CTX_get0_certificate(server_ctx);
  const ASN1_TIME* not_after = cert != nullptr ? X509_get0_notAfter(cert) : nullptr;
  int days = 0, seconds = 0;
  if (not_after == nullptr || ASN1_TIME_diff(&days, &seconds, nullptr, not_after) != 1) return;
  if (days > 0 || seconds > 0) {
    cert_valid = true;
    return;
  }
  os::out("certificate expired %i days ago\n\n", -days);
}

}  // namespace

bool create_server_context() {
  os::out("%s\n", OPENSSL_VERSION_TEXT);
  cert_valid = false;
  {
    std::lock_guard<std::mutex> guard(context_lock);
    server_ctx = SSL_CTX_new(TLS_server_method());
  }
  if (server_ctx == nullptr) {
    os::out("cannot create server SSL context\n\n");
    return false;
  }
  apply_tls_options(no_weak_ciphers);
  return true;
}

bool server_context_exists() {
  std::lock_guard<std::mutex> guard(context_lock);
  return server_ctx != nullptr;
}

void free_server_context() {
  std::lock_guard<std::mutex> guard(context_lock);
  SSL_CTX_free(server_ctx);
  server_ctx = nullptr;
}

void apply_tls_options(uint8_t selector) {
  no_weak_ciphers = selector;
  std::lock_guard<std::mutex> guard(context_lock);
  apply_options_locked(selector);
}

void set_groups(const char16_t* value) {
  if (value == nullptr) return;
  for (const group_list& list : group_lists) {
    if (!wide_equals(list.value, value)) continue;
    std::lock_guard<std::mutex> guard(context_lock);
    if (server_ctx != nullptr) SSL_CTX_set1_groups(server_ctx, list.nids, list.count);
    ERR_clear_error();
    return;
  }
}

int load_certificate(const char16_t* cer, const char16_t* key) {
  if (!server_context_exists()) return -1;
  static char cer_name[name_buffer];  // only the configuration thread loads
  static char key_name[name_buffer];
  if (utf16_to_utf8(cer_name, sizeof cer_name, cer) == 0) return -1;
  if (utf16_to_utf8(key_name, sizeof key_name, key) == 0) return -1;

  SSL_CTX* scratch = SSL_CTX_new(TLS_server_method());
  if (scratch == nullptr) return -1;
  int failed = load_pair(scratch, cer_name, key_name);
  SSL_CTX_free(scratch);
  ERR_clear_error();
  if (failed != 0) {
    report_load_failure(failed, cer_name, key_name);
    return -1;
  }
  std::lock_guard<std::mutex> guard(context_lock);
  if (server_ctx == nullptr || load_pair(server_ctx, cer_name, key_name) != 0) {
    ERR_clear_error();
    return -1;
  }
  tls_ready = true;
  check_expiry_locked();
  ERR_clear_error();
  return 0;
}

bool server_certificate_covers(const char* host, uint64_t size) {
  std::lock_guard<std::mutex> guard(context_lock);
  X509* cert = server_ctx != nullptr ? SSL_CTX_get0_certificate(server_ctx) : nullptr;
  bool covered = cert != nullptr && X509_check_host(cert, host, size, 0, nullptr) == 1;
  ERR_clear_error();
  return covered;
}

void channel_init(Z_TLS& tls) {
  tls.ssl = nullptr;
  tls.reference_count = 0;
  tls.read_bio = nullptr;
  tls.write_bio = nullptr;
  tls.so = os::invalid_socket;
  tls.sock_error = 0;
  tls.send_error = 0;
  tls.ssl_error = 0;
  os::event_create(tls.lock_event, false, true);
}

bool channel_start_tls(Z_TLS& tls) {
  SSL* ssl = nullptr;
  {
    std::lock_guard<std::mutex> guard(context_lock);
    if (server_ctx != nullptr) ssl = SSL_new(server_ctx);
  }
  BIO* read_bio = BIO_new(BIO_s_mem());
  BIO* write_bio = BIO_new(BIO_s_mem());
  if (ssl == nullptr || read_bio == nullptr || write_bio == nullptr) {
    SSL_free(ssl);
    BIO_free(read_bio);
    BIO_free(write_bio);
    ERR_clear_error();
    return false;
  }
  SSL_set_bio(ssl, read_bio, write_bio);
  lock(tls);
  tls.ssl = ssl;
  tls.read_bio = read_bio;
  tls.write_bio = write_bio;
  unlock(tls);
  tls.reference_count.exchange(1);
  tls.sock_error = 0;
  tls.send_error = 0;
  tls.ssl_error = 0;
  return true;
}

void channel_release(Z_TLS& tls) {
  lock(tls);
  SSL* ssl = tls.ssl;
  tls.ssl = nullptr;
  tls.read_bio = nullptr;
  tls.write_bio = nullptr;
  unlock(tls);
  if (ssl != nullptr && tls.reference_count.fetch_sub(1) == 1) free_session(ssl);
  os::socket_t so = tls.so.exchange(os::invalid_socket);
  if (so != os::invalid_socket) {
    os::socket_shutdown(so);
    os::socket_close(so);
  }
}

void channel_destroy(Z_TLS& tls) {
  channel_release(tls);
  os::event_close(tls.lock_event);
}

int Z_TLS::handshake() {
  ssl_error = -1;
  if (ssl == nullptr || !take_reference(*this)) return -1;
  SSL* session = ssl;
  int accepted = 0;
  if (p_recv == nullptr || p_recv_size == 0) {
    os::out("p_recv or p_recv_size not set\n");
  } else {
    while (!SSL_is_init_finished(session)) {
      int64_t received = raw_recv(*this, p_recv, p_recv_size);
      if (received <= 0) {
        ssl_error = 0;
        break;
      }
      int written = BIO_write(read_bio, p_recv, static_cast<int>(received));
      if (written <= 0) {
        ssl_error = SSL_get_error(session, written);
        break;
      }
      ssl_error = 0;
      accepted = SSL_accept(session);
      if (accepted <= 0) ssl_error = SSL_get_error(session, accepted);
      if (ssl_error != 0 && ssl_error != SSL_ERROR_WANT_READ) break;
      // Whatever OpenSSL produced for the peer goes out now.
      int pending;
      while ((pending = BIO_read(write_bio, p_recv, static_cast<int>(p_recv_size))) > 0) {
        if (send_routine(*this, p_recv, static_cast<uint64_t>(pending)) <= 0) {
          ssl_error = -1;
          break;
        }
      }
      if (ssl_error != SSL_ERROR_WANT_READ) break;
    }
  }
  ERR_clear_error();
  drop_reference(*this, session);
  return accepted == 1 ? 0 : -1;
}

int64_t Z_TLS::recv(void* buffer, uint64_t size) {
  if (ssl == nullptr) return raw_recv(*this, buffer, size);
  if (!take_reference(*this)) {
    ssl_error = -1;
    return -1;
  }
  lock(*this);
  SSL* session = ssl;
  bool locked = true;
  int result = -1;
  int room = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  while (session != nullptr) {
    result = SSL_read(session, buffer, room);
    if (result > 0) break;
    ssl_error = SSL_get_error(session, result);
    if (ssl_error != SSL_ERROR_WANT_READ) break;
    unlock(*this);  // never hold the lock while waiting on the network
    locked = false;
    int64_t received = raw_recv(*this, buffer, static_cast<uint64_t>(room));
    if (received <= 0) {
      ssl_error = 0;
      break;
    }
    lock(*this);
    locked = true;
    if (ssl == nullptr) break;  // released meanwhile
    int written = BIO_write(read_bio, buffer, static_cast<int>(received));
    if (written <= 0) {
      ssl_error = SSL_get_error(session, written);
      break;
    }
  }
  ERR_clear_error();
  if (locked) unlock(*this);
  drop_reference(*this, session);
  return result;
}

int64_t Z_TLS::send(const void* bytes, uint64_t count) {
  if (ssl == nullptr) return send_routine(*this, bytes, count);
  if (!take_reference(*this)) {
    ssl_error = -1;
    return -1;
  }
  lock(*this);
  SSL* session = ssl;
  bool locked = true;
  int64_t result = static_cast<int64_t>(count);
  const char* at = static_cast<const char*>(bytes);
  uint64_t left = count;
  while (session != nullptr && ssl != nullptr && left > 0) {
    int batch = left > static_cast<uint64_t>(max_write) ? max_write : static_cast<int>(left);
    int written = SSL_write(session, at, batch);
    if (written <= 0) {
      ssl_error = SSL_get_error(session, written);
      result = written;
      break;
    }
    at += written;
    left -= static_cast<uint64_t>(written);
    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(write_bio, &memory);
    if (memory == nullptr) {
      ssl_error = SSL_get_error(session, written);
      os::out("tls.send::tls_bio_get_mem_ptr  %i\n", ssl_error);
      result = written;
      break;
    }
    unlock(*this);  // the send thread waits on the network without the lock
    locked = false;
    int64_t sent = send_routine(*this, memory->data, memory->length);
    lock(*this);
    locked = true;
    if (ssl == nullptr) break;
    // Empty the write BIO in place, so its buffer is kept and reused.
    memory->length = 0;
    BIO_set_close(write_bio, BIO_NOCLOSE);
    BIO_set_mem_buf(write_bio, memory, BIO_CLOSE);
    if (sent <= 0) {
      ssl_error = 0;
      result = sent;
      break;
    }
  }
  if (session == nullptr || (ssl == nullptr && left > 0 && result > 0)) result = -1;
  ERR_clear_error();
  if (locked) unlock(*this);
  drop_reference(*this, session);
  return result;
}

}  // namespace qm
