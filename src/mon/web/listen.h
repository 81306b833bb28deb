// Where the plot page's server listens: --listen HOST:PORT as typed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace tarlek::plot {

struct ListenAddress {
  std::string host = "127.0.0.1";
  uint16_t port = 0;  // 0: a free port the system picks
  bool operator==(const ListenAddress&) const = default;
};

// "HOST:PORT", "HOST" (a free port), ":PORT" (the loopback address),
// "[IPV6]:PORT", "[IPV6]" or a bare IPv6 address such as ::1. PORT is decimal,
// 0-65535. On a malformed text, the reason in one phrase.
std::variant<ListenAddress, std::string> ParseListen(std::string_view text);

// Whether host names this machine only (127.0.0.0/8, ::1, localhost): the
// page is then out of reach of the network.
bool IsLoopback(std::string_view host);

// The address to open in a browser: http://HOST:PORT/ (an IPv6 host in
// brackets; the unspecified addresses 0.0.0.0 and :: as the loopback one,
// which reaches them too).
std::string PageUrl(std::string_view host, uint16_t port);

}  // namespace tarlek::plot
