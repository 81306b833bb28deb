#include "mon/symbols/cdb.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>

#include "base/failure.h"
#include "base/hex_text.h"
#include "base/text_scan.h"

namespace tarlek::mon {
namespace {

// A symbol record's name part: scope$name$level$block.
struct SymbolKey {
  std::string scope;
  std::string name;
  std::string key;  // the whole text, as L: records repeat it
};

// One S: record (or a T: record's member) before its types are built.
struct RawSymbol {
  SymbolKey id;
  uint32_t size = 0;
  std::vector<std::string> chain;  // declarators, then the specifier
  bool is_signed = false;
  char space = 'Z';
  bool on_stack = false;
  std::string module;
  size_t line = 0;  // of its S: or T: record, for messages
};

struct RawStruct {
  std::vector<std::pair<uint32_t, RawSymbol>> members;
};

// The structs by module and tag.
using Structs = std::map<std::pair<std::string, std::string>, RawStruct>;

class BadRecord : public std::exception {};

// A type that nests declarators and structs within structs deeper than any
// program does; a chain of thousands would run the reader out of stack.
constexpr size_t kDeepestType = 256;
struct TooDeep {
  size_t line;       // of the record whose type crossed the limit
  std::string name;  // the symbol or member it declares
};

// A type larger than the largest memory space (64 KB of code or xram): no
// variable can have it.
constexpr uint64_t kLargestType = 0x10000;
class TooLarge : public std::exception {};

// The most parts (the value itself, its members and elements, theirs, and so
// on) a value may have: four for each byte of the largest space. Unions of
// unions, each member the same inner union, have twice the parts at every
// level in the same few bytes; reading such a value would not end.
constexpr uint64_t kMostParts = 4 * kLargestType;

std::optional<uint32_t> Number(std::string_view text, int base = 10) {
  return ParseDigits<uint32_t>(text, base);
}

SymbolKey ParseKey(std::string_view text) {
  // scope$name$level$block; the scope and name hold no '$'.
  const size_t first = text.find('$');
  const size_t second = first == std::string_view::npos ? first : text.find('$', first + 1);
  if (second == std::string_view::npos) throw BadRecord();
  return SymbolKey{std::string(text.substr(0, first)),
                   std::string(text.substr(first + 1, second - first - 1)), std::string(text)};
}

// "scope$name$l$b(TYPE),SPACE,on_stack,stack..." from at; at moves past the
// space letter and the stack flag.
RawSymbol ParseSymbol(std::string_view text, size_t& at) {
  RawSymbol s;
  const size_t open = text.find('(', at);
  if (open == std::string_view::npos) throw BadRecord();
  s.id = ParseKey(text.substr(at, open - at));
  // ({size}a,b,c:S)
  if (text.substr(open, 2) != "({") throw BadRecord();
  const size_t close_size = text.find('}', open);
  const size_t close = text.find(')', open);
  if (close_size == std::string_view::npos || close == std::string_view::npos) throw BadRecord();
  const auto size = Number(text.substr(open + 2, close_size - open - 2));
  if (!size) throw BadRecord();
  s.size = *size;
  std::string_view chain = text.substr(close_size + 1, close - close_size - 1);
  const size_t colon = chain.rfind(':');
  if (colon == std::string_view::npos) throw BadRecord();
  s.is_signed = chain.substr(colon + 1) == "S";
  chain = chain.substr(0, colon);
  while (true) {
    const size_t comma = chain.find(',');
    s.chain.emplace_back(chain.substr(0, comma));
    if (comma == std::string_view::npos) break;
    chain.remove_prefix(comma + 1);
  }
  // ,SPACE,on_stack,...
  if (close + 4 >= text.size() || text[close + 1] != ',' || text[close + 3] != ',') {
    throw BadRecord();
  }
  s.space = text[close + 2];
  s.on_stack = text[close + 4] == '1';
  at = close + 5;
  return s;
}

// Builds the types of symbols. A struct is built once, with the types of its
// members, and shared by every variable, member and array that has it: a
// program's structs within structs (or a file's, made to nest many times
// over) cost their records' length, not the count of their expansions.
class Builder {
 public:
  explicit Builder(const Structs& structs) : structs_(structs) {
    // A tag no struct of the module defines is taken from the first module
    // that does.
    for (const auto& [key, raw] : structs_) by_tag_.emplace(key.second, &raw);
  }

  // Throws BadRecord for a type SDCC does not write, TooDeep, and TooLarge
  // for a type beyond kLargestType.
  TypePtr Build(const RawSymbol& s, size_t depth = 0) { return Build(s, 0, s.size, depth); }

  // The parts of a value of the type, up to one past kMostParts: a struct's
  // counted once.
  uint64_t Parts(const TypePtr& type) {
    switch (type->kind) {
      case TypeKind::kArray:
        // Elements of no bytes show as none.
        if (type->element->size == 0) return 1;
        return std::min(1 + type->count * Parts(type->element), kMostParts + 1);
      case TypeKind::kStruct: {
        const auto counted = parts_.find(type.get());
        if (counted != parts_.end()) return counted->second.second;
        uint64_t parts = 1;
        for (const Member& member : type->members) {
          parts = std::min(parts + Parts(member.type), kMostParts + 1);
        }
        parts_.emplace(type.get(), std::make_pair(type, parts));
        return parts;
      }
      default:
        return 1;
    }
  }

 private:
  TypePtr Build(const RawSymbol& s, size_t at, uint32_t size, size_t depth) {
    if (depth >= kDeepestType) throw TooDeep{s.line, s.id.name};
    const std::vector<std::string>& chain = s.chain;
    auto type = std::make_shared<Type>();
    const std::string_view item = chain.at(at);
    type->is_signed = s.is_signed;
    if (item.starts_with("DA")) {
      const auto count = Number(item.substr(2, item.size() - 3));
      if (!count || !item.ends_with('d') || at + 1 >= chain.size()) throw BadRecord();
      type->kind = TypeKind::kArray;
      type->count = *count;
      type->element = Build(s, at + 1, *count == 0 ? 0 : size / *count, depth + 1);
      type->size = Fit(uint64_t{type->element->size} * type->count);
      return type;
    }
    if (item.size() == 2 && item[0] == 'D') {
      type->kind = TypeKind::kPointer;
      switch (item[1]) {
        case 'G':
          type->pointer = PointerKind::kGeneric;
          type->size = 3;
          break;
        case 'C':
          type->pointer = PointerKind::kCode;
          type->size = 2;
          break;
        case 'X':
          type->pointer = PointerKind::kXdata;
          type->size = 2;
          break;
        case 'D':
          type->pointer = PointerKind::kData;
          type->size = 1;
          break;
        case 'I':
          type->pointer = PointerKind::kIdata;
          type->size = 1;
          break;
        case 'P':
          type->pointer = PointerKind::kPdata;
          type->size = 1;
          break;
        case 'F':  // a function: no value to watch
          type->kind = TypeKind::kBytes;
          type->tag = "function";
          return type;
        default:
          throw BadRecord();
      }
      if (at + 1 < chain.size()) type->element = Pointee(s, at + 1, depth + 1);
      return type;
    }
    if (at + 1 != chain.size()) throw BadRecord();  // a specifier ends the chain
    if (item.empty()) {
      type->kind = TypeKind::kBool;
      type->size = 1;
    } else if (item == "SC" || item == "SS" || item == "SI" || item == "SL") {
      const uint32_t usual = item == "SC" ? 1 : item == "SL" ? 4 : 2;
      type->kind = TypeKind::kInteger;
      type->size = (size == 1 || size == 2 || size == 4 || size == 8) ? size : usual;
    } else if (item == "SF") {
      type->kind = TypeKind::kFloat;
      type->size = 4;
    } else if (item == "SX") {
      type->kind = TypeKind::kBitField;
      type->size = 1;
      type->bit_width = 1;
    } else if (item.starts_with("SB")) {
      const size_t dollar = item.find('$');
      const auto offset = Number(item.substr(2, dollar - 2));
      const auto width =
          dollar == std::string_view::npos ? std::nullopt : Number(item.substr(dollar + 1));
      if (!offset || !width || *width == 0 || uint64_t{*offset} + *width > 64) throw BadRecord();
      type->kind = TypeKind::kBitField;
      type->bit_offset = static_cast<uint8_t>(*offset);
      type->bit_width = static_cast<uint8_t>(*width);
      type->size = std::max<uint32_t>(size, (*offset + *width + 7) / 8);
    } else if (item.starts_with("ST")) {
      const std::string tag(item.substr(2));
      const RawStruct* raw = FindStruct(s.module, tag);
      if (raw != nullptr) return Struct(*raw, tag, size, depth);
      // Declared but never defined in any module: its bytes.
      type->kind = TypeKind::kBytes;
      type->tag = tag;
      type->size = size;
    } else {
      // void, fixed point and anything newer: its bytes.
      type->kind = TypeKind::kBytes;
      type->size = size;
    }
    return type;
  }

  // The struct raw defines, at least size bytes long (the record's size in
  // braces, when larger than its members reach).
  TypePtr Struct(const RawStruct& raw, const std::string& tag, uint32_t size, size_t depth) {
    if (too_large_.contains(&raw)) throw TooLarge();
    auto built = built_.find(&raw);
    if (built == built_.end()) {
      if (!building_.insert(&raw).second) throw BadRecord();  // contains itself
      TypePtr type;
      try {
        type = Members(raw, tag, depth);
      } catch (const TooLarge&) {
        building_.erase(&raw);
        too_large_.insert(&raw);
        throw;
      }
      building_.erase(&raw);
      built = built_.emplace(&raw, std::move(type)).first;
    }
    const TypePtr& plain = built->second;
    if (size <= plain->size) return plain;
    // Longer than its members reach: a copy of the size, made once.
    TypePtr& longer = longer_[{&raw, size}];
    if (!longer) {
      auto copy = std::make_shared<Type>(*plain);
      copy->size = size;
      longer = std::move(copy);
    }
    return longer;
  }

  TypePtr Members(const RawStruct& raw, const std::string& tag, size_t depth) {
    auto type = std::make_shared<Type>();
    type->kind = TypeKind::kStruct;
    type->tag = tag;
    uint64_t end = 0;
    for (const auto& [offset, member] : raw.members) {
      type->members.push_back(Member{member.id.name, offset, Build(member, depth + 1)});
      end = std::max(end, uint64_t{offset} + type->members.back().type->size);
    }
    type->size = Fit(end);
    return type;
  }

  // What a pointer points to, for its name only: a struct by its tag.
  TypePtr Pointee(const RawSymbol& s, size_t at, size_t depth) {
    const std::string& item = s.chain[at];
    if (item.starts_with("ST")) {
      auto type = std::make_shared<Type>();
      type->kind = TypeKind::kStruct;
      type->tag = item.substr(2);
      return type;
    }
    if (item.starts_with("DA")) return nullptr;
    return Build(s, at, 0, depth);
  }

  static uint32_t Fit(uint64_t size) {
    if (size > kLargestType) throw TooLarge();
    return static_cast<uint32_t>(size);
  }

  const RawStruct* FindStruct(const std::string& module, const std::string& tag) const {
    const auto own = structs_.find({module, tag});
    if (own != structs_.end()) return &own->second;
    const auto any = by_tag_.find(tag);
    return any == by_tag_.end() ? nullptr : any->second;
  }

  const Structs& structs_;
  std::map<std::string, const RawStruct*> by_tag_;
  std::map<const RawStruct*, TypePtr> built_;
  std::map<std::pair<const RawStruct*, uint32_t>, TypePtr> longer_;
  std::set<const RawStruct*> building_;
  std::set<const RawStruct*> too_large_;
  // Parts of the structs counted, which the entries keep alive.
  std::map<const Type*, std::pair<TypePtr, uint64_t>> parts_;
};

// The place of a variable from its space letter and the linker's address;
// nullopt for a space with no fixed place.
std::optional<Place> PlaceOf(char space, uint32_t address, uint32_t size) {
  Place place;
  switch (space) {
    case 'E':
    case 'G':
      place.space = Space::kIram;
      break;
    case 'F':
    case 'P':
      place.space = Space::kXram;
      break;
    case 'C':
    case 'D':
      place.space = Space::kCode;
      break;
    case 'I':
      place.space = Space::kSfr;
      if (address > 0xFF) {
        // __sfr16/__sfr32: the SFRs, lowest byte first, one per address byte.
        for (uint32_t i = 0; i < size && i < 4; ++i) {
          place.sfrs.push_back(static_cast<uint8_t>(address >> (8 * i)));
        }
        address &= 0xFFu;  // the lowest byte's SFR, the first of place.sfrs
      }
      break;
    case 'H':
    case 'J':
      // A bit address: 00h-7Fh in the bytes 20h-2Fh, 80h-FFh in the SFRs
      // whose address is a multiple of 8.
      if (address < 0x80) {
        place.space = Space::kIram;
        address = 0x20 + address / 8;
      } else {
        place.space = Space::kSfr;
        address &= 0xF8;
      }
      break;
    default:
      return std::nullopt;
  }
  place.address = address;
  return place;
}

// Why the linker's address and the type's size put a variable of this space
// letter outside its memory space; nullopt when it fits. The sums are 64-bit:
// a file may give any 32-bit address and size.
std::optional<std::string> OutOfPlace(char space, uint32_t address, uint32_t size) {
  switch (space) {
    case 'H':
    case 'J':
      if (address <= 0xFF) return std::nullopt;
      return fmt::format("its bit address {:X}h is beyond FFh", address);
    case 'I': {
      // One SFR, or __sfr16/__sfr32: an SFR for each of its bytes.
      const bool one = address <= 0xFF;
      bool fits =
          (address & 0xFFu) >= 0x80 && (one ? address + uint64_t{size} <= 0x100 : size <= 4);
      for (uint32_t i = 1; !one && i < size; ++i) {
        fits = fits && (address >> (8 * i) & 0xFFu) >= 0x80;
      }
      if (fits) return std::nullopt;
      return fmt::format(
          "its SFR address {:X}h and size ({} byte{}) fall outside the SFRs (80h-FFh)", address,
          size, size == 1 ? "" : "s");
    }
    default: {
      const auto place = PlaceOf(space, address, size);
      if (!place) return std::nullopt;
      const SpaceBounds bounds = Bounds(place->space);
      if (address >= bounds.first && address + uint64_t{size} <= bounds.end) return std::nullopt;
      return fmt::format("it takes {} byte{} from {:X}h, past the end of {}", size,
                         size == 1 ? "" : "s", address, SpaceName(place->space));
    }
  }
}

}  // namespace

std::vector<std::string> CdbModules(std::string_view text) {
  std::vector<std::string> modules;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    if (line.starts_with("M:") && line.size() > 2) modules.emplace_back(line.substr(2));
  }
  return modules;
}

std::map<std::string, uint32_t> ListingBits(std::string_view text) {
  std::map<std::string, uint32_t> bits;
  bool in_bits = false;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    const size_t area = line.find(".area ");
    if (area != std::string_view::npos) {
      std::string_view name = line.substr(area + 6);
      while (name.starts_with(' ') || name.starts_with('\t')) name.remove_prefix(1);
      in_bits = name.starts_with("BSEG") && !name.starts_with("BSEG_BYTES");
      continue;
    }
    if (!in_bits || !line.ends_with("==.")) continue;
    // ADDRESS LINE KEY==.
    std::string_view words = line;
    const auto address = Number(TakeWord(words), 16);
    const auto number = Number(TakeWord(words));
    const std::string_view key = TakeWord(words);
    if (!address || !number || key.size() <= 3) continue;
    bits[std::string(key.substr(0, key.size() - 3))] = *address;
  }
  return bits;
}

SymbolTable ParseCdb(std::string_view text, const std::string& source,
                     const std::map<std::string, uint32_t>& relocated) {
  std::vector<RawSymbol> symbols;
  Structs structs;
  // By the key of their L: records, which repeat the S: record's.
  std::map<std::string_view, uint32_t> addresses;
  // Of the T: record being read: C gives a struct's members names of their own.
  std::unordered_set<std::string> member_names;
  std::string module;
  size_t line_number = 0;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    ++line_number;
    if (line.size() < 2 || line[1] != ':') continue;
    try {
      const std::string_view body = line.substr(2);
      switch (line[0]) {
        case 'M':
          module = std::string(body);
          break;
        case 'S': {
          size_t at = 0;
          RawSymbol s = ParseSymbol(body, at);
          s.module = module;
          s.line = line_number;
          symbols.push_back(std::move(s));
          break;
        }
        case 'T': {
          // Fmodule$tag[members]
          const size_t open = body.find('[');
          if (open == std::string_view::npos || !body.ends_with(']') || body[0] != 'F') {
            throw BadRecord();
          }
          const std::string_view head = body.substr(1, open - 1);
          const size_t dollar = head.find('$');
          if (dollar == std::string_view::npos) throw BadRecord();
          RawStruct& raw =
              structs[{std::string(head.substr(0, dollar)), std::string(head.substr(dollar + 1))}];
          raw.members.clear();
          member_names.clear();
          size_t at = open + 1;
          while (body[at] == '(') {
            // ({offset}S:S$name$l$b(TYPE),Z,0,0)
            const size_t close_offset = body.find('}', at);
            if (body.substr(at, 2) != "({" || close_offset == std::string_view::npos ||
                body.substr(close_offset + 1, 2) != "S:") {
              throw BadRecord();
            }
            const auto offset = Number(body.substr(at + 2, close_offset - at - 2));
            if (!offset) throw BadRecord();
            size_t inner = close_offset + 3;
            RawSymbol member = ParseSymbol(body, inner);
            member.module = std::string(head.substr(0, dollar));
            member.line = line_number;
            if (!member_names.insert(member.id.name).second) throw BadRecord();
            raw.members.emplace_back(*offset, std::move(member));
            const size_t close = body.find(')', inner);
            if (close == std::string_view::npos) throw BadRecord();
            at = close + 1;
          }
          if (at + 1 != body.size()) throw BadRecord();
          break;
        }
        case 'L': {
          const size_t colon = body.rfind(':');
          if (colon == std::string_view::npos) throw BadRecord();
          const std::string_view key = body.substr(0, colon);
          // Line records (C$, A$) and end addresses (XG$...) name no variable.
          if (key.starts_with("C$") || key.starts_with("A$") || key.starts_with('X')) break;
          const auto address = Number(body.substr(colon + 1), 16);
          if (!address) throw BadRecord();
          addresses[key] = *address;
          break;
        }
        default:
          break;
      }
    } catch (const BadRecord&) {
      throw UsageError(fmt::format("{}:{}: not a record SDCC writes: {}", source, line_number,
                                   line.substr(0, 120)));
    }
  }

  Builder builder(structs);
  std::vector<Variable> variables;
  std::set<std::string> seen;
  std::map<std::string, std::string> left_out;
  for (const RawSymbol& s : symbols) {
    const std::string& scope = s.id.scope;
    Variable v;
    v.name = s.id.name;
    v.area = std::string(1, s.space);
    if (scope == "G") {
      v.scope = Scope::kGlobal;
    } else if (scope.starts_with('F')) {
      v.scope = Scope::kFileStatic;
      v.file = scope.substr(1);
    } else if (scope.starts_with('L')) {
      v.scope = Scope::kLocal;
      const size_t dot = scope.find('.');
      v.file = dot == std::string::npos ? "" : scope.substr(1, dot - 1);
      v.function = dot == std::string::npos ? scope.substr(1) : scope.substr(dot + 1);
    } else {
      continue;
    }
    if (v.name.starts_with("__xinit_")) continue;  // SDCC's copies of initial values
    try {
      v.type = builder.Build(s);
    } catch (const BadRecord&) {
      throw UsageError(fmt::format("{}: the type of {} is not one SDCC writes", source, v.name));
    } catch (const TooDeep& deep) {
      throw UsageError(fmt::format(
          "{}:{}: the type of {} nests more than {} deep (declarators, structs within structs)",
          source, deep.line, deep.name, kDeepestType));
    } catch (const TooLarge&) {
      left_out.emplace(v.name, "its type takes more than 64 KB, more than a memory space holds");
      continue;
    }
    if (builder.Parts(v.type) > kMostParts) {
      left_out.emplace(v.name, fmt::format("its value has more than {} members and elements "
                                           "(unions within unions?): too many to show",
                                           kMostParts));
      continue;
    }
    if (v.type->kind == TypeKind::kBytes && v.type->tag == "function") continue;
    if (v.scope != Scope::kLocal) {
      std::optional<uint32_t> address;
      if (const auto linked = addresses.find(std::string_view(s.id.key));
          linked != addresses.end()) {
        address = linked->second;
      } else if (const auto listed = relocated.find(s.id.key);
                 s.space == 'H' && listed != relocated.end()) {
        address = listed->second;
      }
      const auto place = address ? PlaceOf(s.space, *address, v.type->size) : std::nullopt;
      if (!place) {
        // A declaration (extern) in one module, its definition in another;
        // or optimised away.
        left_out.emplace(v.name, s.space == 'H'
                                     ? "a bit whose address neither the .cdb nor a relocated "
                                       "listing (MODULE.rst beside it) gives"
                                     : "the linker gave it no address");
        continue;
      }
      if (auto why = OutOfPlace(s.space, *address, v.type->size)) {
        left_out.emplace(v.name, std::move(*why));
        continue;
      }
      v.place = *place;
      if (s.space == 'H' || s.space == 'J') {
        // A bit: the bit-field of its byte.
        auto bit = std::make_shared<Type>();
        bit->kind = TypeKind::kBitField;
        bit->is_signed = s.is_signed;
        bit->size = 1;
        bit->bit_width = 1;
        bit->bit_offset = static_cast<uint8_t>(*address & 7);
        v.type = bit;
      }
      if (!seen.insert(v.scope == Scope::kGlobal ? v.name : scope + "$" + v.name).second) continue;
    }
    variables.push_back(std::move(v));
  }
  for (const Variable& v : variables) left_out.erase(v.name);
  SymbolTable program(std::move(variables), source, std::move(left_out));
  program.set_typed(true);
  return program;
}

}  // namespace tarlek::mon
