// libFuzzer target for the reader of SDCC's debug information (.cdb) and of
// the relocated listings (.rst) that give the bits' addresses: CdbModules,
// ListingBits and ParseCdb. The fuzzer's bytes are the .cdb text, and after
// the first NUL byte the listing's. After every run:
//   - ParseCdb either gives a table or throws a usage failure that names the
//     file (no other exception, no crash);
//   - every variable with a place lies within its memory space, and its type
//     holds together (an array's size is its elements', a member lies within
//     its struct, a bit-field's bits within its bytes);
//   - every variable's value decodes from its bytes and formats, its name
//     resolves or says why not, and a name left out says why.
// Anything else (and any crash, overflow, hang or a memory use past the
// fuzzer's limit) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "mon/symbols/cdb.h"
#include "mon/symbols/symbol_table.h"
#include "mon/symbols/target.h"
#include "mon/symbols/value.h"
#include "symbol_checks.h"

namespace {

using tarlek::mon::Scope;
using tarlek::mon::Space;
using tarlek::mon::Type;
using tarlek::mon::TypeKind;
using tarlek::mon::Variable;

[[noreturn]] void Fail(const char* what, const std::string& name = "") {
  tarlek::fuzz::Fail("fuzz_cdb", what, name);
}

// The largest memory space: no type is larger.
constexpr uint64_t kLargest = 0x10000;
// Values up to this size are decoded and formatted (larger ones cost the
// fuzzer time and show nothing new).
constexpr size_t kDecoded = 4096;

void CheckType(const Type& type, const std::string& name) {
  if (type.size > kLargest) Fail("a type larger than any memory space:", name);
  switch (type.kind) {
    case TypeKind::kArray:
      if (!type.element) Fail("an array without its element:", name);
      if (uint64_t{type.element->size} * type.count != type.size) {
        Fail("an array's size is not its elements':", name);
      }
      break;
    case TypeKind::kStruct:
      for (const auto& member : type.members) {
        if (!member.type || uint64_t{member.offset} + member.type->size > type.size) {
          Fail("a member outside its struct:", name);
        }
      }
      break;
    case TypeKind::kBitField:
      if (type.bit_width == 0 || type.bit_offset + type.bit_width > 64 ||
          type.bit_offset + type.bit_width > 8 * uint64_t{type.size}) {
        Fail("a bit-field's bits outside its bytes:", name);
      }
      break;
    default:
      break;
  }
}

void CheckPlace(const Variable& v) {
  const auto& place = v.place;
  const auto bounds = tarlek::mon::Bounds(place.space);
  if (!place.sfrs.empty()) {
    if (place.space != Space::kSfr || place.sfrs.size() < v.type->size) {
      Fail("an SFR group without an SFR for each byte:", v.name);
    }
    for (const uint8_t sfr : place.sfrs) {
      if (sfr < 0x80) Fail("an SFR group with a byte outside the SFRs:", v.name);
    }
    return;
  }
  const uint64_t size = v.type->kind == TypeKind::kBitField ? 1 : v.type->size;
  if (place.address < bounds.first || place.address + size > bounds.end) {
    Fail("a variable outside its memory space:", v.name);
  }
}

void CheckVariables(const tarlek::mon::SymbolTable& program) {
  const std::vector<uint8_t> bytes(kDecoded, 0xA5);
  for (const Variable& v : program.variables()) {
    if (!v.type) Fail("a variable without a type:", v.name);
    CheckType(*v.type, v.name);
    if (v.scope != Scope::kLocal) CheckPlace(v);
    if (v.type->size > kDecoded) continue;
    const auto value = tarlek::mon::DecodeValue(*v.type, std::span(bytes).first(v.type->size));
    static_cast<void>(tarlek::mon::FormatValue(*v.type, value, (v.type->size & 1) != 0));
    static_cast<void>(v.type->Name());
  }
  tarlek::fuzz::CheckNames("fuzz_cdb", program);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string_view cdb = input.substr(0, nul);
  const std::string_view listing =
      nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

  for (const std::string& module : tarlek::mon::CdbModules(cdb)) {
    if (module.empty() || module.find('\n') != std::string::npos) Fail("a module name of no line");
  }
  const auto bits = tarlek::mon::ListingBits(listing);
  tarlek::mon::SymbolTable program;
  try {
    program = tarlek::mon::ParseCdb(cdb, "f.cdb", bits);
  } catch (const tarlek::Failure& failure) {
    if (failure.status() != tarlek::kExitUsage ||
        !std::string_view(failure.what()).starts_with("f.cdb")) {
      Fail("a failure that is not a usage error naming the file:", failure.what());
    }
    return 0;
  }
  CheckVariables(program);
  return 0;
}
