// Every bound of fiskald's HTTP front door, written here only (but for the
// body's, which is the receipt's and given by the service): the sizes of a
// request, the connections at once, and the times a client is given.
// The server (server.cc) enforces them; the checks on a request's header
// (checks.cc) read them from here.
#pragma once

#include <cstddef>

namespace fiskal::service::http {

struct Limits {
  // A request's header, the request line included: more is 431 (a target
  // over its own bound is 414).
  std::size_t header_bytes = 16 * 1024;
  std::size_t header_lines = 100;
  std::size_t target_bytes = 8 * 1024;
  // A body, declared or chunked: more is 413, answered as soon as it is
  // known, without reading the rest. The service sets it to the largest
  // body it takes (fiskald: a receipt's bound, kMaxReceiptBytes in
  // service/intake/intake.h); left at 0, a request may carry no body.
  std::size_t body_bytes = 0;
  // Bodies being read at once, in all: a declared body counts its length,
  // a chunked one the whole body_bytes. Past it a request is answered 503.
  std::size_t bodies_in_flight_bytes = std::size_t{64} << 20;

  // Connections open at once; beyond them a new one is closed at once.
  // fiskald lowers it when the descriptors it may open are fewer (it keeps
  // some for the ports, their locks and the journal).
  std::size_t connections = 4096;

  // A new connection's first request must begin within this long; a kept
  // connection's next request within keep_alive_seconds.
  double first_request_seconds = 60;
  double keep_alive_seconds = 5;
  // From a request's first byte to its last (header and body), and for an
  // answer to be taken by the client.
  double request_seconds = 30;
  double answer_seconds = 30;
};

}  // namespace fiskal::service::http
