// The connection channel and the process's server TLS context.
//
// Context changes never edit a context that slots use. Every change (options,
// groups, certificate) builds a fresh context from the recorded settings,
// completes it, and only then publishes it under ctx_lock; the old one stays
// alive, through OpenSSL's reference count, for as long as SSL objects made
// from it exist. SSL objects are made from a reference taken under ctx_lock,
// so a reload never frees a context while SSL_new reads it, and a failed
// change leaves the published context exactly as it was.
#include "core/tls.h"

#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "content/header.h"
#include "os/error.h"
#include "os/output.h"
#include "os/time.h"

namespace qm {

std::atomic<bool> tls_ready{false};
std::atomic<bool> cert_valid{false};
std::atomic<bool> tls_report{false};
std::atomic<uint8_t> no_weak_ciphers{0};

namespace {

// The published context; read and replaced only under ctx_lock.
SSL_CTX* server_ctx = nullptr;
std::mutex ctx_lock;
// Every reference that may be the last one to a context or to its
// certificate is dropped under release_lock, so each free is ordered after
// every earlier use on other threads in a way the thread sanitizer can see
// (OpenSSL's own counts are invisible to it).
std::mutex release_lock;
// Serialises the operations that build and publish contexts, so that each
// builds on the settings the previous one left.
std::mutex change_lock;
// The group list last applied (an index into group_lists), -1 for OpenSSL's.
int applied_groups = -1;

constexpr uint64_t name_room = 65536;
constexpr int max_ssl_write = 0x30000;  // one encrypted batch per send

// AES-GCM first: it is the cheaper one wherever the CPU has AES
// instructions; a client that prefers ChaCha20 (a phone without them) still
// gets it (SSL_OP_PRIORITIZE_CHACHA). The suites offered are the same set.
const char* const cipher_lists[2] = {
    "ECDHE+AESGCM:CHACHA20:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128",
    "ECDHE+AESGCM:CHACHA20:!CBC:!SHA1:!CAMELLIA:!AES128",
};
const char* const tls13_suites = "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

struct z_group_list_t {
  char16_t value[4];
  int nids[5];
  int count;
};
// No list contains prime256v1.
const z_group_list_t group_lists[4] = {
    {u"256", {NID_X25519, NID_secp384r1, NID_X448, NID_secp521r1, NID_secp256k1}, 5},
    {u"384", {NID_secp384r1, NID_X448, NID_secp521r1}, 3},
    {u"448", {NID_X448, NID_secp521r1}, 2},
    {u"521", {NID_secp521r1}, 1},
};

// ---- the server context ----------------------------------------------------

void release_context(SSL_CTX* ctx) {
  if (ctx == nullptr) return;
  std::lock_guard<std::mutex> guard(release_lock);
  SSL_CTX_free(ctx);
}

void release_ssl(SSL* ssl) {
  std::lock_guard<std::mutex> guard(release_lock);
  SSL_free(ssl);
}

// An address literal names no DNS entry: the certificate must hold it among
// its IP addresses. X509_check_ip_asc wants it alone and NUL-terminated.
bool covers_address(X509* cert, const char* text, uint64_t size) {
  char address[64];
  if (size == 0 || size >= sizeof address) return false;
  std::memcpy(address, text, size);
  address[size] = '\0';
  return X509_check_ip_asc(cert, address, 0) == 1;
}

bool dotted(const char* host, uint64_t size) {
  if (size == 0) return false;
  for (uint64_t i = 0; i < size; ++i)
    if ((host[i] < '0' || host[i] > '9') && host[i] != '.') return false;
  return true;
}

// "[...]" is an IPv6 address; a dotted IPv4 one counts when either the DNS
// names (where older certificates hold it) or the IP addresses hold it.
bool certificate_covers(X509* cert, const char* host, uint64_t size) {
  if (size >= 2 && host[0] == '[' && host[size - 1] == ']') {
    return std::memchr(host + 1, ':', size - 2) != nullptr && covers_address(cert, host + 1, size - 2);
  }
  if (X509_check_host(cert, host, size, 0, nullptr) == 1) return true;
  return dotted(host, size) && covers_address(cert, host, size);
}

void release_certificate(X509* cert) {
  std::lock_guard<std::mutex> guard(release_lock);
  X509_free(cert);
}

SSL_CTX* published_context() {
  std::lock_guard<std::mutex> guard(ctx_lock);
  return server_ctx;
}

// Publishes ctx (may be null) and drops the process's reference to the old one.
void publish_context(SSL_CTX* ctx) {
  SSL_CTX* old = nullptr;
  {
    std::lock_guard<std::mutex> guard(ctx_lock);
    old = server_ctx;
    server_ctx = ctx;
  }
  release_context(old);
}

// A reference to the published context for SSL_new, or null.
SSL_CTX* acquire_context() {
  std::lock_guard<std::mutex> guard(ctx_lock);
  if (server_ctx != nullptr) SSL_CTX_up_ref(server_ctx);
  return server_ctx;
}

void apply_options_to(SSL_CTX* ctx, uint8_t selector) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx, cipher_lists[selector != 0 ? 1 : 0]);
  SSL_CTX_set_ciphersuites(ctx, tls13_suites);
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
  SSL_CTX_set_security_level(ctx, 2);
}

void apply_groups_to(SSL_CTX* ctx, int index) {
  if (index < 0) return;
  const z_group_list_t& list = group_lists[index];
  SSL_CTX_set1_groups(ctx, list.nids, list.count);
}

// A new context with the recorded options and groups; null when OpenSSL
// cannot make one.
SSL_CTX* build_context() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return nullptr;
  apply_options_to(ctx, no_weak_ciphers.load());
  apply_groups_to(ctx, applied_groups);
  return ctx;
}

// Gives to the certificate, chain and key of from (which is never edited,
// since slots may use it); true when from has none or they were taken.
bool copy_identity(SSL_CTX* from, SSL_CTX* to) {
  X509* cert = SSL_CTX_get0_certificate(from);
  if (cert == nullptr) return true;
  EVP_PKEY* key = SSL_CTX_get0_privatekey(from);
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get0_chain_certs(from, &chain);
  return SSL_CTX_use_cert_and_key(to, cert, key, chain, 1) == 1;
}

// Rebuilds the published context with the recorded settings and its own
// identity; false, the published context staying, when that cannot be done.
bool rebuild_context() {
  SSL_CTX* current = published_context();
  if (current == nullptr) return false;
  SSL_CTX* fresh = build_context();
  if (fresh == nullptr) return false;
  if (!copy_identity(current, fresh)) {
    SSL_CTX_free(fresh);
    return false;
  }
  publish_context(fresh);
  return true;
}

int find_group_list(const char16_t* value) {
  if (value == nullptr) return -1;
  for (int i = 0; i < 4; ++i) {
    const char16_t* want = group_lists[i].value;
    int k = 0;
    while (want[k] != 0 && value[k] == want[k]) ++k;
    if (want[k] == 0 && value[k] == 0) return i;
  }
  return -1;
}

// Loads and checks the chain and key into ctx; false (with its message when
// tls_report is set) on failure.
bool load_identity(SSL_CTX* ctx, const char* cer, const char* key) {
  bool report = tls_report.load();
  if (SSL_CTX_use_certificate_chain_file(ctx, cer) != 1) {
    if (report) os::out("invalid or missing certificate file\n%s\n\n", cer);
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1) {
    if (report) os::out("invalid or missing key file\n%s\n\n", key);
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    if (report) os::err("Private key does not match the public certificate\n");
    return false;
  }
  return true;
}

// Sets cert_valid when the certificate's notAfter lies ahead; an expired one
// is still served and only reported.
void check_expiry(SSL_CTX* ctx) {
  X509* cert = SSL_CTX_get0_certificate(ctx);
  if (cert == nullptr) return;
  const ASN1_TIME* not_after = X509_get0_notAfter(cert);
  if (not_after == nullptr) return;
  int days = 0;
  int seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, not_after) != 1) return;
  if (days > 0 || seconds > 0) {
    cert_valid = true;
    return;
  }
  os::out("certificate expired %i days ago\n\n", -days);
}

// ---- the channel -----------------------------------------------------------

bool take_reference(Z_TLS& tls) {
  if (tls.reference_count.fetch_add(1) > 0) return true;
  tls.reference_count.fetch_sub(1);
  return false;
}

void drop_reference(Z_TLS& tls, SSL* ssl) {
  if (tls.reference_count.fetch_sub(1) != 1) return;
  SSL_shutdown(ssl);
  release_ssl(ssl);
}

// lock_event is a binary lock; a closed event (slot destruction) fails.
bool lock(Z_TLS& tls) { return os::event_wait(tls.lock_event, os::wait_forever) == os::wait_result::signaled; }
void unlock(Z_TLS& tls) { os::event_set(tls.lock_event); }

int clamp_int(uint64_t size) { return static_cast<int>(std::min<uint64_t>(size, INT_MAX)); }

// Receives on so, repeating interrupted calls; sock_error keeps the failure.
int64_t receive_raw(Z_TLS& tls, void* buffer, uint64_t size) {
  int64_t result = os::socket_recv(tls.so, buffer, size, false);
  while (result <= 0) {
    tls.sock_error = os::last_error();
    // A closed peer (0) is final even when an old EINTR is still recorded.
    if (result == 0 || tls.sock_error != os::err_interrupted) break;
    os::set_last_error(os::err_none);
    result = os::socket_recv(tls.so, buffer, size, false);
  }
  return result;
}

// One blocking send of every byte, waiting for room when the system has no
// buffers left.
int64_t send_raw(Z_TLS& tls, const void* bytes, uint64_t count) {
  int64_t result = os::socket_send(tls.so, bytes, count);
  while (result <= 0) {
    tls.send_error = os::last_error();
    if (tls.send_error != os::err_no_buffers) return result;
    if (os::socket_wait_writable(tls.so) <= 0) return result;
    os::set_last_error(os::err_none);
    result = os::socket_send(tls.so, bytes, count);
  }
  return result;
}

// Sends everything OpenSSL has written during the handshake, through p_recv,
// with the lock held on entry and exit and released around each send. False
// when a send failed.
bool flush_handshake(Z_TLS& tls, SSL* ssl, bool& locked) {
  BIO* wbio = SSL_get_wbio(ssl);
  while (BIO_ctrl_pending(wbio) > 0) {
    int n = BIO_read(wbio, tls.p_recv, clamp_int(tls.p_recv_size));
    if (n <= 0) {
      tls.ssl_error = SSL_get_error(ssl, n);
      return true;
    }
    unlock(tls);
    locked = false;
    int64_t sent = send_raw(tls, tls.p_recv, static_cast<uint64_t>(n));
    // The lock is taken back even after a failed send: the slot's lock
    // outlives the connection, and a lost lock would hang its next one.
    locked = lock(tls);
    if (!locked || sent <= 0) {
      tls.ssl_error = -1;
      return false;
    }
  }
  return true;
}

// Every round's receive waits only for what is left of the handshake's time.
bool time_left_for_handshake(Z_TLS& tls) {
  if (tls.handshake_deadline_ns == 0) return true;
  int64_t left_ms = (tls.handshake_deadline_ns - os::monotonic_ns()) / 1000000;
  if (left_ms <= 0) return false;
  uint32_t ms = static_cast<uint32_t>(std::min<int64_t>(left_ms, INT32_MAX));
  if (ms != tls.receive_timeout_ms && os::socket_set_receive_timeout(tls.so, ms) == 0) tls.receive_timeout_ms = ms;
  return true;
}

// The handshake rounds; the last SSL_accept result.
int run_handshake(Z_TLS& tls, SSL* ssl) {
  int accepted = 0;
  while (!SSL_is_init_finished(ssl)) {
    if (!time_left_for_handshake(tls)) {
      tls.ssl_error = 0;
      break;
    }
    int64_t received = receive_raw(tls, tls.p_recv, static_cast<uint64_t>(clamp_int(tls.p_recv_size)));
    if (received <= 0) {
      tls.ssl_error = 0;
      break;
    }
    if (!lock(tls)) {
      tls.ssl_error = -1;
      break;
    }
    bool locked = true;
    bool go_on = false;
    ERR_clear_error();
    int written = BIO_write(SSL_get_rbio(ssl), tls.p_recv, static_cast<int>(received));
    if (written <= 0) {
      tls.ssl_error = SSL_get_error(ssl, written);
    } else {
      tls.ssl_error = 0;
      accepted = SSL_accept(ssl);
      if (accepted <= 0) tls.ssl_error = SSL_get_error(ssl, accepted);
      if (tls.ssl_error == 0 || tls.ssl_error == SSL_ERROR_WANT_READ) {
        go_on = flush_handshake(tls, ssl, locked) && tls.ssl_error == SSL_ERROR_WANT_READ;
      }
    }
    if (locked) unlock(tls);
    if (!go_on) break;
  }
  return accepted;
}

// The TLS half of recv; the lock and a reference are held on entry, and the
// lock is not held on exit.
int64_t read_tls(Z_TLS& tls, SSL* ssl, void* buffer, uint64_t size) {
  int room = clamp_int(size);
  for (;;) {
    ERR_clear_error();
    int result = SSL_read(ssl, buffer, room);
    if (result > 0) {
      unlock(tls);
      return result;
    }
    tls.ssl_error = SSL_get_error(ssl, result);
    unlock(tls);
    if (tls.ssl_error != SSL_ERROR_WANT_READ) return result;
    // The raw bytes share the caller's buffer with the plaintext.
    int64_t raw = receive_raw(tls, buffer, static_cast<uint64_t>(room));
    if (raw <= 0) {
      tls.ssl_error = 0;
      return result;
    }
    if (!lock(tls)) {
      tls.ssl_error = -1;
      return -1;
    }
    int written = BIO_write(SSL_get_rbio(ssl), buffer, static_cast<int>(raw));
    if (written <= 0) {
      tls.ssl_error = SSL_get_error(ssl, written);
      unlock(tls);
      return result;
    }
  }
}

// Sends the write BIO's bytes with the lock released, then empties the BIO in
// place so that its buffer serves the next batch. The lock is held on entry
// and, when this returns true, on exit.
bool send_write_bio(Z_TLS& tls, BIO* wbio, BUF_MEM* mem, int64_t& sent) {
  // A receive that runs SSL_read meanwhile would append to this buffer and
  // could move it under the send: the BIO refuses writes until it is empty.
  BIO_set_flags(wbio, BIO_FLAGS_MEM_RDONLY);
  unlock(tls);
  sent = send_raw(tls, mem->data, mem->length);
  if (!lock(tls)) return false;
  BIO_clear_flags(wbio, BIO_FLAGS_MEM_RDONLY);
  mem->length = 0;
  BIO_set_shutdown(wbio, 0);
  BIO_set_mem_buf(wbio, mem, BIO_CLOSE);
  return true;
}

// The TLS half of send; the lock and a reference are held on entry, and the
// lock is not held on exit.
int64_t write_tls(Z_TLS& tls, SSL* ssl, const char* bytes, uint64_t count) {
  BIO* wbio = SSL_get_wbio(ssl);
  uint64_t done = 0;
  for (;;) {
    int batch = static_cast<int>(std::min<uint64_t>(count - done, max_ssl_write));
    ERR_clear_error();
    int written = SSL_write(ssl, bytes + done, batch);
    if (written <= 0) {
      tls.ssl_error = SSL_get_error(ssl, written);
      unlock(tls);
      return written;
    }
    done += static_cast<uint64_t>(written);
    BUF_MEM* mem = nullptr;
    BIO_get_mem_ptr(wbio, &mem);
    if (mem == nullptr) {
      tls.ssl_error = SSL_get_error(ssl, written);
      os::out("tls.send::tls_bio_get_mem_ptr  %i\n", tls.ssl_error);
      unlock(tls);
      return written;
    }
    int64_t sent = 0;
    if (!send_write_bio(tls, wbio, mem, sent)) {
      tls.ssl_error = -1;
      return -1;
    }
    if (sent <= 0) {
      tls.ssl_error = 0;
      unlock(tls);
      return sent;
    }
    if (done == count) {
      unlock(tls);
      return static_cast<int64_t>(count);
    }
  }
}

}  // namespace

// ---- the context operations --------------------------------------------------

bool create_server_context() {
  std::lock_guard<std::mutex> changing(change_lock);
  os::out("%s\n", OPENSSL_VERSION_TEXT);
  cert_valid = false;
  applied_groups = -1;
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    os::out("cannot create server SSL context\n\n");
    return false;
  }
  apply_options_to(ctx, no_weak_ciphers.load());
  publish_context(ctx);
  return true;
}

bool server_context_exists() { return published_context() != nullptr; }

void free_server_context() {
  std::lock_guard<std::mutex> changing(change_lock);
  publish_context(nullptr);
}

void apply_tls_options(uint8_t selector) {
  std::lock_guard<std::mutex> changing(change_lock);
  no_weak_ciphers = selector;
  rebuild_context();
}

void set_groups(const char16_t* value) {
  int index = find_group_list(value);
  if (index < 0) return;
  std::lock_guard<std::mutex> changing(change_lock);
  if (published_context() == nullptr) return;
  int previous = applied_groups;
  applied_groups = index;
  // The published context keeps the old groups when no new one can be made.
  if (!rebuild_context()) applied_groups = previous;
}

int load_certificate(const char16_t* cer, const char16_t* key) {
  std::lock_guard<std::mutex> changing(change_lock);
  if (published_context() == nullptr) return -1;
  static char cer_name[name_room];
  static char key_name[name_room];
  if (utf16_to_utf8(cer_name, name_room, cer) == 0) return -1;
  if (utf16_to_utf8(key_name, name_room, key) == 0) return -1;
  SSL_CTX* fresh = build_context();
  if (fresh == nullptr) return -1;
  if (!load_identity(fresh, cer_name, key_name)) {
    SSL_CTX_free(fresh);
    return -1;
  }
  publish_context(fresh);
  tls_ready = true;
  check_expiry(fresh);
  return 0;
}

bool server_certificate_covers(const char* host, uint64_t size) {
  if (host == nullptr) return false;
  X509* cert = nullptr;
  {
    // The reference keeps the certificate alive when a reload frees its context.
    std::lock_guard<std::mutex> guard(ctx_lock);
    if (server_ctx != nullptr) cert = SSL_CTX_get0_certificate(server_ctx);
    if (cert != nullptr) X509_up_ref(cert);
  }
  if (cert == nullptr) return false;
  bool covers = certificate_covers(cert, host, size);
  release_certificate(cert);
  return covers;
}

// ---- the channel operations --------------------------------------------------

void channel_init(Z_TLS& tls) {
  tls.so = os::invalid_socket;
  tls.reference_count = 0;
  os::event_create(tls.lock_event, false, true);
}

bool channel_start_tls(Z_TLS& tls) {
  SSL_CTX* ctx = acquire_context();
  if (ctx == nullptr) return false;
  SSL* ssl = SSL_new(ctx);
  release_context(ctx);  // the SSL object holds its own reference
  BIO* read_bio = BIO_new(BIO_s_mem());
  BIO* write_bio = BIO_new(BIO_s_mem());
  if (ssl == nullptr || read_bio == nullptr || write_bio == nullptr) {
    BIO_free(read_bio);
    BIO_free(write_bio);
    if (ssl != nullptr) release_ssl(ssl);
    return false;
  }
  SSL_set_bio(ssl, read_bio, write_bio);
  tls.read_bio = read_bio;
  tls.write_bio = write_bio;
  tls.reference_count.exchange(1);
  tls.sock_error = 0;
  tls.send_error = 0;
  tls.ssl_error = 0;
  tls.ssl = ssl;
  return true;
}

namespace {

// A session that ends says so with close_notify, so that the client can tell
// a complete response from a cut connection. Best effort and never waiting:
// a peer that does not read loses only the alert. Skipped while a send has
// bytes in flight in the write BIO, and once the slot is being destroyed
// (the lock fails).
void send_close_notify(Z_TLS& tls, SSL* ssl) {
  if (tls.so == os::invalid_socket || SSL_is_init_finished(ssl) != 1) return;
  if ((SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN) != 0 || !lock(tls)) return;
  BIO* wbio = SSL_get_wbio(ssl);
  if (BIO_ctrl_pending(wbio) == 0) {
    ERR_clear_error();
    SSL_shutdown(ssl);
    BUF_MEM* mem = nullptr;
    BIO_get_mem_ptr(wbio, &mem);
    if (mem != nullptr && mem->length > 0) os::socket_send_nowait(tls.so, mem->data, mem->length);
    ERR_clear_error();
  }
  unlock(tls);
}

}  // namespace

void channel_release(Z_TLS& tls) {
  SSL* ssl = tls.ssl;
  tls.ssl = nullptr;
  tls.read_bio = nullptr;
  tls.write_bio = nullptr;
  if (ssl != nullptr) {
    send_close_notify(tls, ssl);
    drop_reference(tls, ssl);
  }
  if (tls.so != os::invalid_socket) {
    os::socket_shutdown(tls.so);
    os::socket_close(tls.so);
    tls.so = os::invalid_socket;
  }
}

void channel_destroy(Z_TLS& tls) {
  if (tls.lock_event.created) os::event_close(tls.lock_event);
  channel_release(tls);
}

int Z_TLS::handshake() {
  ssl_error = -1;
  SSL* current = ssl;
  if (current == nullptr || !take_reference(*this)) return -1;
  int accepted = 0;
  if (p_recv == nullptr || p_recv_size == 0) {
    os::out("p_recv or p_recv_size not set\n");
  } else {
    accepted = run_handshake(*this, current);
  }
  drop_reference(*this, current);
  return accepted == 1 ? 0 : -1;
}

int64_t Z_TLS::recv(void* buffer, uint64_t size) {
  SSL* current = ssl;
  if (current == nullptr) return receive_raw(*this, buffer, size);
  if (!take_reference(*this)) {
    ssl_error = -1;
    return -1;
  }
  int64_t result = -1;
  if (lock(*this)) {
    result = read_tls(*this, current, buffer, size);
  } else {
    ssl_error = -1;
  }
  drop_reference(*this, current);
  return result;
}

int64_t Z_TLS::send(const void* bytes, uint64_t count) {
  SSL* current = ssl;
  if (current == nullptr) return send_raw(*this, bytes, count);
  if (!take_reference(*this)) {
    ssl_error = -1;
    return -1;
  }
  int64_t result = -1;
  if (lock(*this)) {
    result = write_tls(*this, current, static_cast<const char*>(bytes), count);
  } else {
    ssl_error = -1;
  }
  drop_reference(*this, current);
  return result;
}

}  // namespace qm
