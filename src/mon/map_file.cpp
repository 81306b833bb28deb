#include "mon/map_file.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "mon/failure.h"

namespace tarlek::mon {
namespace {

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool IsHexWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The space of an area from its name and attributes; nullopt to skip it.
std::optional<Space> AreaSpace(std::string_view name, std::string_view attributes) {
  if (name == "CABS" || name == ".ABS." || name.starts_with("BSEG") || name == "BIT_BANK") {
    return std::nullopt;
  }
  if (attributes.find("CODE") != std::string_view::npos) return Space::kCode;
  if (attributes.find("XDATA") != std::string_view::npos) return Space::kXram;
  if (name == "XSEG" || name == "PSEG" || name == "XISEG" || name == "XABS" || name == "XINIT") {
    return Space::kXram;
  }
  if (name == "DSEG" || name == "OSEG" || name == "ISEG" || name == "IABS" || name == "SSEG" ||
      name.starts_with("REG_BANK")) {
    return Space::kIram;
  }
  return std::nullopt;
}

}  // namespace

std::vector<Symbol> ParseMap(std::string_view text) {
  std::vector<Symbol> symbols;
  std::optional<Space> area_space;
  bool in_symbols = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const auto words = Words(line);
    if (words.empty()) continue;
    // An area line: NAME ADDR SIZE = DECIMAL. bytes (ATTRIBUTES)
    if (words.size() >= 6 && IsHexWord(words[1]) && IsHexWord(words[2]) && words[3] == "=") {
      const size_t open = line.find('(');
      area_space = AreaSpace(words[0], open == std::string_view::npos ? "" : line.substr(open));
      in_symbols = false;
      continue;
    }
    if (words[0] == "Value" || words[0] == "Area") {
      in_symbols = words[0] == "Value";
      continue;
    }
    if (!in_symbols || !area_space) continue;
    // A symbol line: [C:|D:|...] VALUE NAME [MODULE]
    size_t at = 0;
    if (words[0].size() == 2 && words[0][1] == ':') at = 1;
    if (words.size() < at + 2 || !IsHexWord(words[at])) continue;
    const auto value = ParseHex(words[at]);
    if (!value || *value > 0xFFFF) continue;
    symbols.push_back(
        Symbol{std::string(words[at + 1]), *area_space, static_cast<uint16_t>(*value)});
  }
  return symbols;
}

SymbolTable SymbolTable::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the map file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  auto symbols = ParseMap(text.str());
  if (symbols.empty()) throw UsageError(path + " holds no symbols: is it a linker map (.map)?");
  return SymbolTable(std::move(symbols));
}

const Symbol* SymbolTable::Find(std::string_view name) const {
  for (const Symbol& s : symbols_) {
    if (s.name == name) return &s;
  }
  for (const Symbol& s : symbols_) {
    if (s.name.size() == name.size() + 1 && s.name[0] == '_' &&
        std::string_view(s.name).substr(1) == name) {
      return &s;
    }
  }
  return nullptr;
}

}  // namespace tarlek::mon
