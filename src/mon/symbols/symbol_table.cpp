#include "mon/symbols/symbol_table.h"

#include <fmt/format.h>

#include <fstream>
#include <set>
#include <sstream>

#include "base/failure.h"
#include "mon/symbols/cdb.h"
#include "mon/symbols/map_file.h"

namespace tarlek::mon {

std::string Type::Name() const {
  switch (kind) {
    case TypeKind::kBytes:
      return fmt::format("{} byte{}", size, size == 1 ? "" : "s");
    case TypeKind::kInteger: {
      const char* base = size == 1 ? "char" : size == 2 ? "int" : size == 4 ? "long" : "long long";
      return fmt::format("{}{}", is_signed ? "" : "unsigned ", base);
    }
    case TypeKind::kFloat:
      return "float";
    case TypeKind::kBool:
      return "bool";
    case TypeKind::kBitField:
      return fmt::format("{}{} bit{}", is_signed ? "signed " : "", bit_width,
                         bit_width == 1 ? "" : "s");
    case TypeKind::kPointer: {
      static const char* const kSpaces[] = {"__data ",  "__idata ", "__pdata ",
                                            "__xdata ", "__code ",  ""};
      const std::string target = element ? element->Name() : "void";
      return fmt::format("{}{} *", kSpaces[static_cast<int>(pointer)], target);
    }
    case TypeKind::kArray:
      return fmt::format("{}[{}]", element->Name(), count);
    case TypeKind::kStruct:
      return "struct " + tag;
  }
  return "?";
}

TypePtr BytesType(uint32_t size) {
  auto type = std::make_shared<Type>();
  type->kind = TypeKind::kBytes;
  type->size = size;
  return type;
}

TypePtr IntegerType(uint32_t size, bool is_signed) {
  auto type = std::make_shared<Type>();
  type->kind = TypeKind::kInteger;
  type->size = size;
  type->is_signed = is_signed;
  return type;
}

namespace {

bool NameIs(const Variable& v, std::string_view name) {
  return v.name == name ||
         (name.size() == v.name.size() + 1 && name[0] == '_' && name.substr(1) == v.name);
}

// A name the map cut short that name, longer, begins with.
bool CutNameBegins(const Variable& v, std::string_view name) {
  if (!v.name_cut) return false;
  return (name.size() > v.name.size() && name.starts_with(v.name)) ||
         (name.size() > v.name.size() + 1 && name[0] == '_' && name.substr(1).starts_with(v.name));
}

std::vector<const Variable*> CutNamesBeginning(const std::vector<Variable>& variables,
                                               std::string_view name) {
  std::vector<const Variable*> out;
  for (const Variable& v : variables) {
    if (v.scope != Scope::kLocal && CutNameBegins(v, name)) out.push_back(&v);
  }
  return out;
}

}  // namespace

const Variable* SymbolTable::Find(std::string_view name) const {
  for (const Scope scope : {Scope::kGlobal, Scope::kFileStatic}) {
    const Variable* found = nullptr;
    for (const Variable& v : variables_) {
      if (v.scope != scope || !NameIs(v, name)) continue;
      if (found != nullptr) return nullptr;  // statics of two files
      found = &v;
    }
    if (found != nullptr) return found;
  }
  const auto cut = CutNamesBeginning(variables_, name);
  return cut.size() == 1 ? cut.front() : nullptr;
}

std::string SymbolTable::Missing(std::string_view name) const {
  std::vector<std::string> files;
  std::vector<std::string> functions;
  for (const Variable& v : variables_) {
    if (!NameIs(v, name)) continue;
    if (v.scope == Scope::kFileStatic) files.push_back(v.file);
    if (v.scope == Scope::kLocal) functions.push_back(v.function);
  }
  if (files.size() > 1) {
    return fmt::format("{} is a static of more than one file ({}): tarlek-mon cannot tell which",
                       name, fmt::join(files, ", "));
  }
  if (const auto cut = CutNamesBeginning(variables_, name); cut.size() > 1) {
    std::vector<std::string> names;
    names.reserve(cut.size());
    for (const Variable* v : cut) names.push_back(v->name);
    return fmt::format(
        "{} cuts names short, and {} of them could be the start of {}: {}; link with -w for "
        "longer names, or give -m the .cdb (sdcc --debug)",
        source_, cut.size(), name, fmt::join(names, ", "));
  }
  if (!functions.empty()) {
    return fmt::format(
        "{} is declared inside {}: its place (stack, registers or an overlay the function "
        "shares) holds it only while the function runs, so it is not live-watchable; make it "
        "global or a file-level static to watch it",
        name, fmt::join(functions, ", "));
  }
  for (const auto& [left, why] : left_out_) {
    if (left == name ||
        (name.size() == left.size() + 1 && name[0] == '_' && name.substr(1) == left) ||
        (left.size() == name.size() + 1 && left[0] == '_' &&
         std::string_view(left).substr(1) == name)) {
      return fmt::format("{} is in {} but left out: {}", name, source_, why);
    }
  }
  return fmt::format("{} is not a variable of {}", name, source_);
}

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
