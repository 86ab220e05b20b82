// The authority of a URL or a Host field ("host:port", "[v6]:port"),
// written here only: how it splits, which hosts are address literals and
// which of them are the loopback. The Host check of the API and the
// --listen option both read authorities through these.
#pragma once

#include <string>
#include <string_view>

namespace fiskal::service::http {

// An IPv6 host: it holds a ':'.
bool IsIpv6(std::string_view host);
// An address literal: IPv4 dotted quad, or IPv6 (without brackets).
bool IsAddressLiteral(std::string_view host);
// 127.0.0.0/8 or ::1.
bool IsLoopbackAddress(std::string_view host);

// Splits "host:port" or "[v6]:port" into host (brackets removed) and port
// (0 to 65535). Without a port, `default_port` is taken when it is given
// (not -1).
bool SplitAuthority(std::string_view text, std::string* host, int* port, int default_port = -1);

// ASCII letters made lower case; other bytes as they are.
std::string LowerCase(std::string_view text);

}  // namespace fiskal::service::http
