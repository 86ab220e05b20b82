// TCP_NODELAY on a socket a library opened and does not hand out: the
// broker client's (Paho sets no TCP_NODELAY and has no hook for socket
// options), so that an answer written right after an acknowledgement does
// not wait for the peer's delayed ACK.
#pragma once

namespace fiskal::service {

// Sets TCP_NODELAY on every TCP socket of this process whose peer is on
// `port`: the library's socket is found among the process's own (in
// /proc/self/fd) by its peer, the broker. Another connection to a peer on
// that port gets the option too, which does it no harm. On Windows, which
// lists no process's sockets, it does nothing (no_delay-win32.cc).
void NoDelayTowards(int port);

}  // namespace fiskal::service
