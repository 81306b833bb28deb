#include "mon/web/listen.h"

#include <arpa/inet.h>

#include <algorithm>

#include "base/hex_text.h"

namespace tarlek::plot {

namespace {

// A decimal port: digits only, 0-65535.
bool ParsePort(std::string_view text, uint16_t& port) {
  const auto value = text.size() > 5 ? std::nullopt : ParseDigits<uint16_t>(text, 10);
  if (!value) return false;
  port = *value;
  return true;
}

}  // namespace

std::variant<ListenAddress, std::string> ParseListen(std::string_view text) {
  ListenAddress address;
  std::string_view host;
  std::string_view port;
  bool has_port = false;
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::string("an IPv6 address lacks its ]");
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::string("only :PORT may follow [ADDRESS]");
      port = rest.substr(1);
      has_port = true;
    }
    if (host.empty()) return std::string("the brackets hold no address");
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    const size_t colon = text.find(':');
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    has_port = true;
  } else {
    host = text;  // a name or address with a free port; more colons: a bare IPv6 address
  }
  if (has_port && !ParsePort(port, address.port)) {
    return "the port " + std::string(port) + " is not a number from 0 to 65535";
  }
  if (host.find_first_of(" \t/") != std::string_view::npos) {
    return std::string(host) + " is not a host name or address";
  }
  if (!host.empty()) {
    address.host = std::string(host);
  } else if (!has_port) {
    return std::string("no host and no port");
  }
  return address;
}

bool IsLoopback(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.0.0.0/8 as an address, not a name that begins so.
  in_addr address{};
  return host.starts_with("127.") && inet_pton(AF_INET, std::string(host).c_str(), &address) == 1;
}

std::string PageUrl(std::string_view host, uint16_t port) {
  std::string shown(host);
  if (shown == "0.0.0.0") shown = "127.0.0.1";
  if (shown == "::") shown = "::1";
  if (shown.find(':') != std::string::npos) shown = "[" + shown + "]";
  return "http://" + shown + ":" + std::to_string(port) + "/";
}

}  // namespace tarlek::plot
