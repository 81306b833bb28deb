#include "mon/line/address.h"

#include <fmt/format.h>

#include <cctype>

#include "base/address_space.h"
#include "base/hex_text.h"

namespace tarlek::mon {

MarkedDigits SplitHexMark(std::string_view text, bool suffix_allowed) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return {text.substr(2), true};
  }
  if (suffix_allowed && text.size() > 1 && (text.back() == 'h' || text.back() == 'H')) {
    return {text.substr(0, text.size() - 1), true};
  }
  return {text, false};
}

std::optional<uint32_t> ParseHex(std::string_view text) {
  const auto value = ParseDigits<uint32_t>(SplitHexMark(text).digits, 16);
  if (!value || *value > 0xFFFFFF) return std::nullopt;
  return value;
}

std::optional<Space> ParseSpace(std::string_view text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "code") return Space::kCode;
  if (lower == "iram") return Space::kIram;
  if (lower == "sfr") return Space::kSfr;
  if (lower == "xram") return Space::kXram;
  return std::nullopt;
}

const char* SpaceName(Space space) {
  switch (space) {
    case Space::kCode:
      return "code";
    case Space::kIram:
      return "iram";
    case Space::kSfr:
      return "sfr";
    case Space::kXram:
      return "xram";
  }
  return "?";
}

SpaceBounds Bounds(Space space) {
  switch (space) {
    case Space::kCode:
    case Space::kXram:
      return {0, kAddressSpaceSize};
    case Space::kIram:
      return {0, 0x100};
    case Space::kSfr:
      return {0x80, 0x100};
  }
  return {0, 0};
}

std::string FormatAddress(Space space, uint32_t address) {
  return protocol::AddressWidth(space) == 2 ? fmt::format("{:04X}h", address)
                                            : fmt::format("{:02X}h", address);
}

std::optional<CodeRange> ParseRange(std::string_view text) {
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = ParseHex(text.substr(0, dash));
  const auto last = ParseHex(text.substr(dash + 1));
  if (!first || !last || *first > *last || *last > 0xFFFF) return std::nullopt;
  return CodeRange{*first, *last};
}

}  // namespace tarlek::mon
