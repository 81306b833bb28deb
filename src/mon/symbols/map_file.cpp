#include "mon/symbols/map_file.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "base/text_scan.h"
#include "mon/line/address.h"

namespace tarlek::mon {
namespace {

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  for (std::string_view word = TakeWord(line); !word.empty(); word = TakeWord(line)) {
    words.push_back(word);
  }
  return words;
}

bool IsHexWord(std::string_view word) {
  if (word.empty()) return false;
  return std::all_of(word.begin(), word.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

struct Area {
  std::optional<Space> space;  // nullopt: its symbols are left out
  std::string why;             // and this says why
  uint32_t end = 0;            // one past its last byte
};

Area AreaOf(std::string_view name, std::string_view attributes, uint32_t end) {
  Area area{std::nullopt, "", end};
  const auto has = [&](std::string_view attribute) {
    return attributes.find(attribute) != std::string_view::npos;
  };
  if (name == ".ABS.") {
    area.why =
        "an absolute symbol (__at, an SFR or an sbit): the map does not say its memory space; "
        "give -m the .cdb (sdcc --debug), or SPACE ADDR";
  } else if ((name.starts_with("BSEG") && name != "BSEG_BYTES") || has("BIT")) {
    area.why = "a bit (" + std::string(name) + "): give -m the .cdb (sdcc --debug) to read it";
  } else if (name == "CABS") {
    area.why = "a bound of the linker's areas";
  } else if (has("CODE")) {
    area.space = Space::kCode;
  } else if (has("XDATA") || name == "XSEG" || name == "PSEG" || name == "XISEG" ||
             name == "XABS" || name == "XSTK") {
    area.space = Space::kXram;
  } else if (name == "DSEG" || name == "OSEG" || name == "ISEG" || name == "IABS" ||
             name == "SSEG" || name == "BSEG_BYTES" || name == "BIT_BANK" ||
             name.starts_with("REG_BANK")) {
    area.space = Space::kIram;
  } else {
    area.why = "its area " + std::string(name) + " is of a memory space the map does not say";
  }
  return area;
}

struct Found {
  std::string name;
  uint32_t address;
  size_t area;
  bool cut;  // as long as the layout's column: maybe the start of a longer name
};

// How many characters of a name the linker's map shows: 32 with one symbol a
// line (-w), 9 where several share a line; longer names are cut there.
constexpr size_t kWideName = 32;
constexpr size_t kNarrowName = 9;

}  // namespace

SymbolTable ParseMap(std::string_view text, const std::string& source) {
  std::vector<Area> areas;
  std::vector<Found> found;
  std::map<std::string, std::string> left_out;
  bool in_symbols = false;
  size_t name_width = kWideName;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    auto words = Words(line);
    if (words.empty()) continue;
    // An area line: [.] NAME ADDR SIZE = DECIMAL. bytes (ATTRIBUTES); the
    // dot marks an absolute area.
    const size_t first = words[0] == "." ? 1 : 0;
    if (words.size() >= first + 6 && IsHexWord(words[first + 1]) && IsHexWord(words[first + 2]) &&
        words[first + 3] == "=") {
      const size_t open = line.find('(');
      const uint32_t address = ParseHex(words[first + 1]).value_or(0);
      const uint32_t size = ParseHex(words[first + 2]).value_or(0);
      areas.push_back(AreaOf(words[first], open == std::string_view::npos ? "" : line.substr(open),
                             address + size));
      in_symbols = false;
      continue;
    }
    if (words[0] == "Value" || words[0] == "Area") {
      in_symbols = words[0] == "Value";
      if (in_symbols) {
        name_width = std::count(words.begin(), words.end(), "Value") > 1 ? kNarrowName : kWideName;
      }
      continue;
    }
    if (!in_symbols || areas.empty()) continue;
    // Symbol columns: [C:|D:|...] VALUE NAME [MODULE], several on a line
    // separated by '|' in the narrow layout.
    std::string_view rest = line;
    while (!rest.empty()) {
      const size_t bar = rest.find('|');
      auto column = Words(rest.substr(0, bar));
      rest.remove_prefix(bar == std::string_view::npos ? rest.size() : bar + 1);
      size_t at = 0;
      if (!column.empty() && column[0].size() == 2 && column[0][1] == ':') at = 1;
      if (column.size() < at + 2 || !IsHexWord(column[at])) continue;
      const std::string_view name = column[at + 1];
      const auto value = ParseHex(column[at]);
      if (!value || name.find('$') != std::string_view::npos || name.starts_with("s_") ||
          name.starts_with("l_") || name.starts_with('.')) {
        continue;
      }
      const Area& area = areas.back();
      if (!area.space || *value >= Bounds(*area.space).end) {
        left_out.emplace(std::string(name), !area.space ? area.why
                                            : *value > 0xFFFF
                                                ? "its address is beyond 64 KB"
                                                : "its address is beyond internal RAM (FFh)");
        continue;
      }
      found.push_back(
          Found{std::string(name), *value, areas.size() - 1, name.size() >= name_width});
    }
  }
  // Areas repeat on every page of the map: one area is a run of the same
  // space and end. A symbol's bytes reach up to the next symbol of its run,
  // found among the run's addresses in order.
  std::map<std::pair<Space, uint32_t>, std::vector<uint32_t>> runs;
  for (const Found& f : found) {
    const Area& area = areas[f.area];
    runs[{*area.space, area.end}].push_back(f.address);
  }
  for (auto& [run, addresses] : runs) std::sort(addresses.begin(), addresses.end());
  std::vector<Variable> variables;
  variables.reserve(found.size());
  for (const Found& f : found) {
    const Area& area = areas[f.area];
    uint32_t next = std::max(area.end, f.address + 1);
    const std::vector<uint32_t>& addresses = runs[{*area.space, area.end}];
    const auto after = std::upper_bound(addresses.begin(), addresses.end(), f.address);
    if (after != addresses.end()) next = std::min(next, *after);
    Variable v;
    v.name = f.name.starts_with('_') ? f.name.substr(1) : f.name;
    v.place.space = *area.space;
    v.place.address = f.address;
    v.name_cut = f.cut;
    v.type = BytesType(std::min(next, Bounds(*area.space).end) - f.address);
    variables.push_back(std::move(v));
  }
  for (const Variable& v : variables) {
    left_out.erase(v.name);
    left_out.erase("_" + v.name);
  }
  return SymbolTable(std::move(variables), source, std::move(left_out));
}

}  // namespace tarlek::mon
