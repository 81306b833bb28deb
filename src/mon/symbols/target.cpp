#include "mon/symbols/target.h"

#include <fmt/format.h>

#include <cctype>

#include "base/failure.h"
#include "base/hex_text.h"

namespace tarlek::mon {
namespace {

// The characters of a C identifier: the first, and the rest.
bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsNameChar(char c) {
  return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::string_view TakeName(std::string_view& text) {
  size_t n = 0;
  while (n < text.size() && IsNameChar(text[n])) ++n;
  const std::string_view name = text.substr(0, n);
  text.remove_prefix(n);
  return name;
}

}  // namespace

bool LooksLikeName(std::string_view text) { return !text.empty() && IsNameStart(text[0]); }

std::string_view BaseName(std::string_view expression) {
  return expression.substr(0, expression.find_first_of(".[:"));
}

Target RawTarget(std::string name, Space space, uint32_t address, uint32_t count) {
  Target target;
  target.name = std::move(name);
  target.type = BytesType(count);
  target.place.space = space;
  target.place.address = address;
  return target;
}

Target ResolveName(const SymbolTable& program, std::string_view expression) {
  const size_t colon = expression.find(':');
  if (colon != std::string_view::npos) {
    // NAME:COUNT, COUNT bytes from where NAME begins, untyped.
    Target target = ResolveName(program, expression.substr(0, colon));
    const auto count = ParseHex(expression.substr(colon + 1));
    if (!count || *count == 0 || !target.place.sfrs.empty() ||
        target.place.address + *count > Bounds(target.place.space).end) {
      throw UsageError(
          fmt::format("{}: the count after the colon is hexadecimal, above 0, and "
                      "stays within {}",
                      expression, SpaceName(target.place.space)));
    }
    target.name = std::string(expression);
    target.type = BytesType(*count);
    return target;
  }
  std::string_view rest = expression;
  const std::string_view base = TakeName(rest);
  if (base.empty() || !LooksLikeName(base)) {
    throw UsageError(fmt::format("{} is not a name (NAME, NAME.MEMBER, NAME[INDEX])", expression));
  }
  const Variable* variable = program.Find(base);
  if (variable == nullptr) throw UsageError(program.Missing(base));
  Target target{std::string(expression), variable->type, variable->place};
  std::string path(base);
  while (!rest.empty()) {
    const Type& type = *target.type;
    if (rest[0] == '.') {
      rest.remove_prefix(1);
      const std::string_view member = TakeName(rest);
      if (type.kind != TypeKind::kStruct) {
        throw UsageError(fmt::format("{} is a {}, not a struct: it has no member {}", path,
                                     type.Name(), member));
      }
      const Member* found = nullptr;
      for (const Member& m : type.members) {
        if (m.name == member) found = &m;
      }
      if (found == nullptr) {
        std::vector<std::string> names;
        for (const Member& m : type.members) names.push_back(m.name);
        throw UsageError(fmt::format("{} ({}) has no member {}; its members: {}", path, type.Name(),
                                     member, fmt::join(names, ", ")));
      }
      target.type = found->type;
      target.place.address += found->offset;
      path += '.';
      path += member;
    } else if (rest[0] == '[') {
      const size_t close = rest.find(']');
      const std::string_view digits =
          rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
      const MarkedDigits number = SplitHexMark(digits, false);
      const auto parsed = ParseDigits<uint32_t>(number.digits, number.hex ? 16 : 10);
      if (close == std::string_view::npos || !parsed) {
        throw UsageError(
            fmt::format("{}: an index is a number in brackets, as in {}[2]", expression, path));
      }
      const uint32_t index = *parsed;
      rest.remove_prefix(close + 1);
      if (type.kind != TypeKind::kArray) {
        throw UsageError(fmt::format("{} is a {}, not an array", path, type.Name()));
      }
      if (index >= type.count) {
        throw UsageError(fmt::format("{}[{}] is past the end of {} ({} elements)", path, index,
                                     path, type.count));
      }
      target.type = type.element;
      target.place.address += index * type.element->size;
      path += fmt::format("[{}]", index);
    } else {
      throw UsageError(
          fmt::format("{} is not a name (NAME, NAME.MEMBER, NAME[INDEX])", expression));
    }
    if (!target.place.sfrs.empty()) {
      throw UsageError(fmt::format("{} is an SFR pair: it has no members", path));
    }
  }
  return target;
}

}  // namespace tarlek::mon
