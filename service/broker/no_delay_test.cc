// TCP_NODELAY set on the process's own sockets by their peer's port, on
// real loopback connections.

#include "service/broker/no_delay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fiskal::service {
namespace {

// A loopback listener on a port the system gives, and one connection to it.
struct Connected {
  Connected() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
    port = ntohs(at.sin_port);
    client = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    server = ::accept(listener, nullptr, nullptr);
  }
  ~Connected() {
    for (int fd : {client, server, listener}) ::close(fd);
  }
  int listener = -1, client = -1, server = -1, port = 0;
};

bool NoDelay(int fd) {
  int on = 0;
  socklen_t length = sizeof on;
  EXPECT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
  return on != 0;
}

TEST(NoDelay, OnlyTheConnectionsToThePortGetIt) {
  Connected broker, other;
  ASSERT_GE(broker.server, 0);
  ASSERT_GE(other.server, 0);
  for (int fd : {broker.client, broker.server, other.client, other.server}) {
    ASSERT_FALSE(NoDelay(fd));
  }
  NoDelayTowards(broker.port);
  EXPECT_TRUE(NoDelay(broker.client));
  // Its own end of the connection has its peer on another port, and so
  // does every connection to another listener.
  EXPECT_FALSE(NoDelay(broker.server));
  EXPECT_FALSE(NoDelay(other.client));
  EXPECT_FALSE(NoDelay(other.server));
}

}  // namespace
}  // namespace fiskal::service
