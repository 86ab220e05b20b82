// TCP_NODELAY on the broker client's socket, on Windows: none. Windows
// offers no way to list a process's own sockets (the POSIX way walks
// /proc/self/fd), and Paho's library hands out none, so its socket keeps
// Nagle's algorithm: an answer written right after an acknowledgement may
// wait for the broker's delayed ACK. Only the latency of such an answer is
// longer; nothing is lost.
#include "service/broker/no_delay.h"

namespace fiskal::service {

void NoDelayTowards(int) {}

}  // namespace fiskal::service
