// TCP sockets for the listener and the connection channel.
//
// Every call that fails returns a negative value (or invalid_socket) and
// leaves the system's error in last_error() (os/error.h). Sends never raise
// SIGPIPE, and a send that writes only part of its bytes is continued until
// all are written or it fails.
#pragma once
#include <cstdint>

namespace qm::os {

using socket_t = int;
inline constexpr socket_t invalid_socket = -1;

inline constexpr uint16_t af_inet = 2;
inline constexpr uint16_t af_inet6 = 10;

// An IPv4 address, as clients in tests and tools connect to one: port and
// address in network order.
struct z_sockaddr_in {
  uint16_t family = 0;
  uint16_t port = 0;     // network byte order
  uint32_t address = 0;  // network byte order; 0 is any address
};

// An address of either family, as the listener binds it and accept reports
// a peer. An IPv4 address fills the first 4 bytes of address.
struct z_sockaddr {
  uint16_t family = 0;       // af_inet or af_inet6
  uint16_t port = 0;         // network byte order
  uint32_t scope_id = 0;     // IPv6: the interface of a link-local address
  uint8_t address[16] = {};  // network byte order; all 0 is the any address
};

// The same IPv4 address in the record of either family.
z_sockaddr to_address(const z_sockaddr_in& ipv4);
// The any address that takes every client on port (host order). Where the
// system offers IPv6 with IPv4-mapped addresses it is IPv6's, for one
// dual-stack socket that serves both families; where it does not (no
// AF_INET6 sockets, IPV6_V6ONLY fixed on, or :: cannot be bound) it is
// IPv4's. It finds out with a socket of its own, made and closed at once.
z_sockaddr any_address(uint16_t port);

uint16_t host_to_net16(uint16_t value);
uint16_t net_to_host16(uint16_t value);
// Parses a dotted IPv4 text into network order; false when it is not one.
bool parse_ipv4(const char* text, uint32_t* address);

// There is no start-up on Linux; this reports version 2.2 as granted so that
// the caller's version check stays as it is. Returns 0.
uint32_t sockets_startup(uint16_t version_requested, uint16_t* version_granted);
void sockets_cleanup();

// Socket options the server sets, by name.
enum class socket_option { receive_buffer, send_buffer, reuse_address };

socket_t socket_create(int type, int protocol);  // AF_INET
// A socket of family (af_inet or af_inet6). An IPv6 one has IPV6_V6ONLY
// off: bound to the any address it takes IPv4 clients too.
socket_t socket_create(uint16_t family, int type, int protocol);
int socket_set_int(socket_t so, socket_option option, int value);
int socket_set_receive_timeout(socket_t so, uint32_t ms);
// A blocking send that makes no progress for ms fails with err_timed_out.
int socket_set_send_timeout(socket_t so, uint32_t ms);
int socket_bind(socket_t so, const z_sockaddr_in& address);
int socket_bind(socket_t so, const z_sockaddr& address);
int socket_listen(socket_t so, int backlog);
// The port actually bound (host order), for tests that bind port 0.
uint16_t socket_local_port(socket_t so);
// The peer of a dual-stack socket's IPv4 client is reported as IPv4, not
// as the mapped ::ffff:a.b.c.d.
socket_t socket_accept(socket_t so, z_sockaddr* peer);
// Connects to address (clients in tests and tools); 0 or -1.
int socket_connect(socket_t so, const z_sockaddr_in& address);
int socket_connect(socket_t so, const z_sockaddr& address);
// recv: the byte count, 0 when the peer closed, -1 on failure (last_error:
// err_timed_out after the receive timeout, err_interrupted, ...).
int64_t socket_recv(socket_t so, void* buffer, uint64_t size, bool peek);
// Peeks until size bytes are there (MSG_WAITALL), the peer closes or the
// receive timeout runs out: the bytes there (fewer after a timeout), 0, or -1.
int64_t socket_peek_all(socket_t so, void* buffer, uint64_t size);
// One blocking send of every byte: the count, or -1 (err_timed_out when the
// send timeout ran out without progress).
int64_t socket_send(socket_t so, const void* bytes, uint64_t size);
// One send that never waits: what the kernel takes at once, or -1.
int64_t socket_send_nowait(socket_t so, const void* bytes, uint64_t size);
// Waits without limit until the socket can be written or reports an error;
// 1 when it can, 0 or -1 otherwise (the select of the send routine).
int socket_wait_writable(socket_t so);
// Shuts both directions down; a thread blocked in accept, recv or send on the
// socket returns.
int socket_shutdown(socket_t so);

// What the kernel knows of a connection's traffic (TCP_INFO): bytes received
// from the peer, bytes of ours it has acknowledged, and milliseconds since
// it last sent data (since the connection was made, when it never did).
struct z_tcp_progress {
  uint64_t bytes_received = 0;
  uint64_t bytes_acked = 0;
  uint32_t quiet_ms = 0;
  // The window the peer last advertised: room it has for our bytes. Only
  // newer kernels (5.4) report it.
  uint32_t peer_window = 0;
  bool peer_window_known = false;
};
bool socket_progress(socket_t so, z_tcp_progress& progress);
// Connections that wait in a listening socket's accept queue, and the
// queue's length; false when the kernel does not say.
bool listen_queue(socket_t so, uint32_t& waiting, uint32_t& capacity);
// Room for the longest peer text: '[', 45 characters of IPv6 text, '%', a
// 10-digit scope, "]:", a 5-digit port and the NUL.
inline constexpr uint32_t peer_text_size = 65;
// "a.b.c.d:port", or "[v6]:port" ("[fe80::1%2]:port" with a scope), into
// out, cut to room (NUL-terminated when room is not 0); returns out.
const char* format_peer(const z_sockaddr& peer, char* out, uint32_t room);
int socket_close(socket_t so);

}  // namespace qm::os
