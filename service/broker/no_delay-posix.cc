#include "service/broker/no_delay.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>

namespace fiskal::service {

void NoDelayTowards(int port) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return;
  const int own = ::dirfd(fds);
  while (const dirent* e = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == own) continue;
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
      continue;
    }
    sockaddr_storage peer{};
    length = sizeof peer;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
      continue;
    }
    int peer_port = -1;
    if (peer.ss_family == AF_INET) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    } else if (peer.ss_family == AF_INET6) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    }
    if (peer_port != port) continue;
    const int one = 1;
    ::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ::closedir(fds);
}

}  // namespace fiskal::service
