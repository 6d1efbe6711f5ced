// The connection channel: plain sockets and TLS over two memory BIOs.
//
// OpenSSL never touches the socket. It reads the read BIO, into which the
// channel writes the bytes it received, and writes the write BIO, whose bytes
// the channel sends. Two threads use one channel at once (the receive thread
// for the handshake and tls.recv, the send thread for tls.send); lock_event
// guards the SSL object and its BIOs and is released around every socket
// wait. The reference count keeps the SSL object alive while either uses it:
// whoever drops the count from 1 to 0 shuts it down and frees it.
//
// This component also owns the process's server context: its creation, the
// protocol floor, cipher lists, groups and security level, and the loading
// of the certificate and key. Only this file's source and the configuration
// code include OpenSSL headers.
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"
#include "os/socket.h"

struct ssl_st;
struct bio_st;

namespace qm {

struct Z_PRESSURE;

struct Z_TLS {
  ssl_st* ssl = nullptr;  // null for a plain connection or an idle slot
  std::atomic<int32_t> reference_count{0};
  os::z_event lock_event;  // auto-reset, initially set: a binary lock
  bio_st* read_bio = nullptr;
  bio_st* write_bio = nullptr;
  // Written by the receive thread; read by slot destruction, which shuts a
  // busy connection down to wake its threads.
  std::atomic<os::socket_t> so{os::invalid_socket};
  uint32_t sock_error = 0;
  uint32_t send_error = 0;
  int32_t ssl_error = 0;
  char* p_recv = nullptr;  // the slot's receive buffer, for raw network bytes
  uint64_t p_recv_size = 0;
  // The receive timeout set on so (0: not known, as after accept); kept so
  // that an unchanged timeout costs no system call.
  uint32_t receive_timeout_ms = 0;
  // The handshake ends by this instant (monotonic ns), or fails.
  int64_t handshake_deadline_ns = 0;
  Z_PRESSURE* pressure = nullptr;  // the slot's, for the waits of a request body

  // 0 on success, -1 on failure.
  int handshake();
  // Like recv: the bytes placed (plaintext for TLS), or 0 or less.
  int64_t recv(void* buffer, uint64_t size);
  // The count on success, 0 or less on failure.
  int64_t send(const void* bytes, uint64_t count);
};

// Slot construction: so invalid, count 0, lock_event created set.
void channel_init(Z_TLS& tls);
// Makes the SSL object for an accepted TLS client from the current server
// context, with two memory BIOs, count 1; false when any of the three cannot
// be made (nothing is left behind).
bool channel_start_tls(Z_TLS& tls);
// End of a connection: takes the SSL object out, drops one reference (the
// last one shuts it down and frees it), and closes so.
void channel_release(Z_TLS& tls);
// Slot destruction: closes lock_event, then releases.
void channel_destroy(Z_TLS& tls);

// Process-wide TLS state.
extern std::atomic<bool> tls_ready;   // a certificate and matching key are loaded
extern std::atomic<bool> cert_valid;  // the loaded certificate's notAfter lies ahead
extern std::atomic<bool> tls_report;  // print certificate and key failures
extern std::atomic<uint8_t> no_weak_ciphers;

// Engine build: prints the library's version, clears cert_valid, creates the
// server context and applies the options; false (with its message) on failure.
bool create_server_context();
bool server_context_exists();
// Frees the server context (shutdown of an engine that never stopped listening).
void free_server_context();
// Protocol floor, cipher lists for the selector, TLS 1.3 suites, server
// preference, security level 2.
void apply_tls_options(uint8_t selector);
// One of "256", "384", "448", "521"; any other value changes nothing.
void set_groups(const char16_t* value);
// Loads the certificate chain and key (absolute UTF-16 names); 0 or -1.
int load_certificate(const char16_t* cer, const char16_t* key);
// Whether the loaded server certificate covers the host name (as a Host
// header gives it: an IPv6 address in brackets, which are checked against
// its IP addresses, as a dotted IPv4 address is too); safe while a reload
// may replace the certificate.
bool server_certificate_covers(const char* host, uint64_t size);

}  // namespace qm
