#include "mon/symbols/load.h"

#include <fmt/format.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "base/failure.h"
#include "mon/symbols/cdb.h"
#include "mon/symbols/map_file.h"

namespace tarlek::mon {

namespace {

std::string ReadText(const std::string& path, const char* kind) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(fmt::format("cannot read the {} {}", kind, path));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UsageError(fmt::format("cannot read the {} {}", kind, path));
  return text.str();
}

bool IsCdbName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string end = path.substr(path.size() - 4);
  for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return end == ".cdb";
}

}  // namespace

SymbolTable LoadSymbols(const std::string& path) {
  if (!IsCdbName(path)) {
    SymbolTable program = ParseMap(ReadText(path, "map file"), path);
    if (program.empty()) {
      throw UsageError(path + " holds no symbols: is it a linker map (.map) or a .cdb?");
    }
    return program;
  }
  const std::string text = ReadText(path, "debug file");
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::map<std::string, uint32_t> bits;
  std::set<std::string> listed;  // a module's M: record may repeat
  for (const std::string& module : CdbModules(text)) {
    if (!listed.insert(module).second) continue;
    std::ifstream listing(folder + module + ".rst", std::ios::binary);
    if (!listing) continue;
    std::ostringstream listing_text;
    listing_text << listing.rdbuf();
    bits.merge(ListingBits(listing_text.str()));
  }
  SymbolTable typed = ParseCdb(text, path, bits);
  // Assembly modules (sdas8051 -y) put no symbols into the .cdb: their names
  // come from the map the linker wrote beside it, as bytes.
  const std::string map_path = path.substr(0, path.size() - 4) + ".map";
  std::ifstream probe(map_path);
  if (probe) {
    const SymbolTable map = ParseMap(ReadText(map_path, "map file"), map_path);
    std::vector<Variable> merged = typed.variables();
    std::set<std::string_view> known;
    for (const Variable& t : typed.variables()) known.insert(t.name);
    for (const Variable& v : map.variables()) {
      if (!known.contains(v.name)) merged.push_back(v);
    }
    auto left_out = typed.left_out();
    left_out.insert(map.left_out().begin(), map.left_out().end());
    typed = SymbolTable(std::move(merged), path, std::move(left_out));
    typed.set_typed(true);
  }
  if (typed.empty()) {
    throw UsageError(path +
                     " holds no variables: compile and link with --debug (sdas8051 and sdld "
                     "with -y), and keep the linker's .map beside it");
  }
  return typed;
}

}  // namespace tarlek::mon
