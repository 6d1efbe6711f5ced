// TCP sockets on the BSD socket calls.
#include "os/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "os/error.h"

namespace qm::os {

namespace {

int fail() {
  set_last_error(static_cast<uint32_t>(errno));
  return -1;
}

static_assert(af_inet == AF_INET && af_inet6 == AF_INET6, "the families are the system's own numbers");
static_assert(peer_text_size >= 1 + (INET6_ADDRSTRLEN - 1) + 1 + 10 + 2 + 5 + 1, "room for the longest peer text");

// A socket address in the system's form, of either family.
union system_address {
  sockaddr any;
  sockaddr_in four;
  sockaddr_in6 six;
};

socklen_t to_system(const z_sockaddr& address, system_address& system) {
  std::memset(&system, 0, sizeof system);
  if (address.family == af_inet6) {
    system.six.sin6_family = AF_INET6;
    system.six.sin6_port = address.port;
    system.six.sin6_scope_id = address.scope_id;
    std::memcpy(&system.six.sin6_addr, address.address, sizeof system.six.sin6_addr);
    return sizeof system.six;
  }
  system.four.sin_family = address.family;
  system.four.sin_port = address.port;
  std::memcpy(&system.four.sin_addr, address.address, sizeof system.four.sin_addr);
  return sizeof system.four;
}

// An IPv4 client of a dual-stack socket comes as ::ffff:a.b.c.d; it is
// reported as the IPv4 address it is.
z_sockaddr from_system(const system_address& system) {
  z_sockaddr address;
  if (system.any.sa_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&system.six.sin6_addr)) {
    address.family = af_inet6;
    address.port = system.six.sin6_port;
    address.scope_id = system.six.sin6_scope_id;
    std::memcpy(address.address, &system.six.sin6_addr, sizeof system.six.sin6_addr);
  } else if (system.any.sa_family == AF_INET6) {
    address.family = af_inet;
    address.port = system.six.sin6_port;
    std::memcpy(address.address, system.six.sin6_addr.s6_addr + 12, 4);
  } else {
    address.family = system.any.sa_family;
    address.port = system.four.sin_port;
    std::memcpy(address.address, &system.four.sin_addr, sizeof system.four.sin_addr);
  }
  return address;
}

int clear_v6_only(int so) {
  int off = 0;
  return setsockopt(so, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
}

// What a system without IPv6 answers to an AF_INET6 socket, to clearing
// IPV6_V6ONLY or to binding ::.
bool says_no_ipv6(int error) {
  return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EPROTONOSUPPORT || error == ESOCKTNOSUPPORT ||
         error == ENOPROTOOPT || error == EADDRNOTAVAIL;
}

// Whether one AF_INET6 socket can serve both families here. A failure that
// says nothing of IPv6 (no descriptor left, say) counts as yes: the
// listener's own socket then meets it and reports it.
bool dual_stack_offered() {
  int so = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (so < 0) return !says_no_ipv6(errno);
  bool offered = false;
  if (clear_v6_only(so) == 0) {
    z_sockaddr any;
    any.family = af_inet6;  // port 0: the probe takes no port a server wants
    system_address system;
    socklen_t size = to_system(any, system);
    offered = ::bind(so, &system.any, size) == 0 || !says_no_ipv6(errno);
  }
  ::close(so);
  return offered;
}

int option_name(socket_option option) {
  switch (option) {
    case socket_option::receive_buffer: return SO_RCVBUF;
    case socket_option::send_buffer: return SO_SNDBUF;
    case socket_option::reuse_address: return SO_REUSEADDR;
  }
  return -1;
}

}  // namespace

z_sockaddr to_address(const z_sockaddr_in& ipv4) {
  z_sockaddr address;
  address.family = ipv4.family;
  address.port = ipv4.port;
  std::memcpy(address.address, &ipv4.address, sizeof ipv4.address);
  return address;
}

z_sockaddr any_address(uint16_t port) {
  z_sockaddr any;
  any.family = dual_stack_offered() ? af_inet6 : af_inet;
  any.port = htons(port);
  return any;
}

uint16_t host_to_net16(uint16_t value) { return htons(value); }
uint16_t net_to_host16(uint16_t value) { return ntohs(value); }

bool parse_ipv4(const char* text, uint32_t* address) {
  in_addr parsed{};
  if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) return false;
  if (address != nullptr) *address = parsed.s_addr;
  return true;
}

uint32_t sockets_startup(uint16_t /*version_requested*/, uint16_t* version_granted) {
  if (version_granted != nullptr) *version_granted = 0x0202;
  return 0;
}

void sockets_cleanup() {}

socket_t socket_create(int type, int protocol) { return socket_create(af_inet, type, protocol); }

socket_t socket_create(uint16_t family, int type, int protocol) {
  int so = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (so < 0) {
    fail();
    return invalid_socket;
  }
  if (family == af_inet6 && clear_v6_only(so) != 0) {
    fail();
    ::close(so);
    return invalid_socket;
  }
  return so;
}

int socket_set_int(socket_t so, socket_option option, int value) {
  int name = option_name(option);
  if (name < 0) {
    set_last_error(EINVAL);
    return -1;
  }
  return setsockopt(so, SOL_SOCKET, name, &value, sizeof value) == 0 ? 0 : fail();
}

int socket_set_receive_timeout(socket_t so, uint32_t ms) {
  timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  return setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 ? 0 : fail();
}

int socket_set_send_timeout(socket_t so, uint32_t ms) {
  timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  return setsockopt(so, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 ? 0 : fail();
}

int socket_bind(socket_t so, const z_sockaddr_in& address) { return socket_bind(so, to_address(address)); }

int socket_bind(socket_t so, const z_sockaddr& address) {
  system_address system;
  socklen_t size = to_system(address, system);
  return ::bind(so, &system.any, size) == 0 ? 0 : fail();
}

int socket_listen(socket_t so, int backlog) { return ::listen(so, backlog) == 0 ? 0 : fail(); }

uint16_t socket_local_port(socket_t so) {
  system_address local{};
  socklen_t size = sizeof local;
  if (getsockname(so, &local.any, &size) != 0) {
    fail();
    return 0;
  }
  return ntohs(from_system(local).port);
}

// A listening socket that was shut down makes accept return EINVAL, which is
// err_accept_closed.
socket_t socket_accept(socket_t so, z_sockaddr* peer) {
  system_address system{};
  socklen_t size = sizeof system;
  int accepted = ::accept4(so, &system.any, &size, SOCK_CLOEXEC);
  if (accepted < 0) {
    fail();
    return invalid_socket;
  }
  if (peer != nullptr) *peer = from_system(system);
  return accepted;
}

int socket_connect(socket_t so, const z_sockaddr_in& address) { return socket_connect(so, to_address(address)); }

int socket_connect(socket_t so, const z_sockaddr& address) {
  system_address system;
  socklen_t size = to_system(address, system);
  int result;
  do {
    result = ::connect(so, &system.any, size);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : fail();
}

// After SO_RCVTIMEO runs out recv gives EAGAIN, which is err_timed_out.
int64_t socket_recv(socket_t so, void* buffer, uint64_t size, bool peek) {
  ssize_t n = ::recv(so, buffer, size, peek ? MSG_PEEK : 0);
  if (n < 0) return fail();
  return n;
}

int64_t socket_peek_all(socket_t so, void* buffer, uint64_t size) {
  ssize_t n = ::recv(so, buffer, size, MSG_PEEK | MSG_WAITALL);
  if (n < 0) return fail();
  return n;
}

int64_t socket_send(socket_t so, const void* bytes, uint64_t size) {
  const char* p = static_cast<const char*>(bytes);
  uint64_t left = size;
  while (left > 0) {
    ssize_t n = ::send(so, p, left, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // On a blocking socket EAGAIN means the send timeout ran out.
      return fail();
    }
    p += n;
    left -= static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(size);
}

int64_t socket_send_nowait(socket_t so, const void* bytes, uint64_t size) {
  ssize_t n;
  do {
    n = ::send(so, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? fail() : n;
}

int socket_wait_writable(socket_t so) {
  pollfd watch{so, POLLOUT, 0};
  int n;
  do {
    n = ::poll(&watch, 1, -1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail();
  if ((watch.revents & (POLLERR | POLLNVAL)) != 0) {
    int pending = 0;
    socklen_t size = sizeof pending;
    getsockopt(so, SOL_SOCKET, SO_ERROR, &pending, &size);
    set_last_error(static_cast<uint32_t>(pending != 0 ? pending : (watch.revents & POLLNVAL) ? EBADF : EPIPE));
    return -1;
  }
  return (watch.revents & POLLOUT) != 0 ? 1 : 0;
}

int socket_shutdown(socket_t so) { return ::shutdown(so, SHUT_RDWR) == 0 ? 0 : fail(); }

bool socket_progress(socket_t so, z_tcp_progress& progress) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(so, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
    fail();
    return false;
  }
  progress.bytes_received = info.tcpi_bytes_received;
  progress.bytes_acked = info.tcpi_bytes_acked;
  progress.quiet_ms = info.tcpi_last_data_recv;
  // An older kernel fills less of the record than these headers know.
  progress.peer_window_known = size >= offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd;
  progress.peer_window = progress.peer_window_known ? info.tcpi_snd_wnd : 0;
  return true;
}

constexpr uint8_t tcp_state_listen = 10;  // the kernel's TCP_LISTEN

// For a listening socket TCP_INFO reports the accept queue in these fields.
bool listen_queue(socket_t so, uint32_t& waiting, uint32_t& capacity) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(so, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || info.tcpi_state != tcp_state_listen) {
    fail();
    return false;
  }
  waiting = info.tcpi_unacked;
  capacity = info.tcpi_sacked;
  return true;
}

const char* format_peer(const z_sockaddr& peer, char* out, uint32_t room) {
  if (out == nullptr || room == 0) return out;
  const unsigned port = ntohs(peer.port);
  const uint8_t* b = peer.address;
  if (peer.family != af_inet6) {
    std::snprintf(out, room, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], port);
    return out;
  }
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(AF_INET6, b, text, sizeof text) == nullptr) std::snprintf(text, sizeof text, "?");
  if (peer.scope_id != 0) {
    std::snprintf(out, room, "[%s%%%u]:%u", text, static_cast<unsigned>(peer.scope_id), port);
  } else {
    std::snprintf(out, room, "[%s]:%u", text, port);
  }
  return out;
}

int socket_close(socket_t so) { return ::close(so) == 0 ? 0 : fail(); }

}  // namespace qm::os
