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

#include "os/error.h"

namespace qm::os {

namespace {

int fail() {
  set_last_error(static_cast<uint32_t>(errno));
  return -1;
}

sockaddr_in to_system(const z_sockaddr_in& address) {
  sockaddr_in system{};
  system.sin_family = address.family;
  system.sin_port = address.port;
  system.sin_addr.s_addr = address.address;
  return system;
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

socket_t socket_create(int type, int protocol) {
  int so = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (so < 0) fail();
  return so < 0 ? invalid_socket : so;
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

int socket_bind(socket_t so, const z_sockaddr_in& address) {
  sockaddr_in system = to_system(address);
  return ::bind(so, reinterpret_cast<const sockaddr*>(&system), sizeof system) == 0 ? 0 : fail();
}

int socket_listen(socket_t so, int backlog) { return ::listen(so, backlog) == 0 ? 0 : fail(); }

uint16_t socket_local_port(socket_t so) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(so, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    fail();
    return 0;
  }
  return ntohs(local.sin_port);
}

// A listening socket that was shut down makes accept return EINVAL, which is
// err_accept_closed.
socket_t socket_accept(socket_t so, z_sockaddr_in* peer) {
  sockaddr_in system{};
  socklen_t size = sizeof system;
  int accepted = ::accept4(so, reinterpret_cast<sockaddr*>(&system), &size, SOCK_CLOEXEC);
  if (accepted < 0) {
    fail();
    return invalid_socket;
  }
  if (peer != nullptr) {
    peer->family = system.sin_family;
    peer->port = system.sin_port;
    peer->address = system.sin_addr.s_addr;
  }
  return accepted;
}

int socket_connect(socket_t so, const z_sockaddr_in& address) {
  sockaddr_in system = to_system(address);
  int result;
  do {
    result = ::connect(so, reinterpret_cast<const sockaddr*>(&system), sizeof system);
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

const char* format_peer(const z_sockaddr_in& peer, char* out, uint32_t room) {
  const auto* b = reinterpret_cast<const uint8_t*>(&peer.address);
  std::snprintf(out, room, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], static_cast<unsigned>(ntohs(peer.port)));
  return out;
}

int socket_close(socket_t so) { return ::close(so) == 0 ? 0 : fail(); }

}  // namespace qm::os
