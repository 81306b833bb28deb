// What a program's debug information or map says about its variables: each
// global and static with its type and where its bytes live. A .cdb (SDCC
// --debug) gives C types; a linker map gives names and addresses only, and
// its variables are plain bytes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mon/line/address.h"

namespace tarlek::mon {

struct Type;
using TypePtr = std::shared_ptr<const Type>;

struct Member {
  std::string name;
  uint32_t offset = 0;  // bytes from the start of the struct
  TypePtr type;
};

enum class TypeKind : uint8_t {
  kBytes,     // untyped: a map symbol, or NAME:COUNT
  kInteger,   // char, short, int, long, long long; signed or not
  kFloat,     // IEEE single, little-endian
  kBool,      // C99 bool: one byte, 0 or 1
  kBitField,  // bits of the bytes at its place; __bit and __sbit too
  kPointer,
  kArray,
  kStruct,  // struct or union: members at their offsets
};

// Where a pointer points (its bytes: data, idata, pdata 1; xdata, code 2;
// generic 3, the third byte telling the space).
enum class PointerKind : uint8_t { kData, kIdata, kPdata, kXdata, kCode, kGeneric };

struct Type {
  TypeKind kind = TypeKind::kBytes;
  uint32_t size = 0;  // bytes it occupies (a bit-field: the bytes its bits touch)
  bool is_signed = false;
  uint8_t bit_offset = 0;  // bit-field: lowest bit within its bytes
  uint8_t bit_width = 0;
  PointerKind pointer = PointerKind::kGeneric;
  TypePtr element;     // array: its element
  uint32_t count = 0;  // array: elements
  std::string tag;     // struct: its tag
  std::vector<Member> members;

  // "int", "unsigned long", "struct sensor_t", "float[4]", "__xdata char *".
  std::string Name() const;
};

TypePtr BytesType(uint32_t size);
TypePtr IntegerType(uint32_t size, bool is_signed);

// Where a value's bytes are. Usually a run of count bytes from address; an
// SFR pair or quad (__sfr16, __sfr32) lists its SFRs, lowest byte first.
struct Place {
  Space space = Space::kIram;
  uint32_t address = 0;
  std::vector<uint8_t> sfrs;  // empty unless the bytes are not adjacent
  // The address of byte i of the value.
  uint32_t ByteAddress(uint32_t i) const { return sfrs.empty() ? address + i : sfrs.at(i); }
  bool operator==(const Place&) const = default;
};

enum class Scope : uint8_t {
  kGlobal,
  kFileStatic,  // static at file level: file names its module
  // Declared inside a function: on the stack, in registers or in an overlay
  // the function shares; its place means something only while it runs.
  kLocal,
};

struct Variable {
  std::string name;  // the C name (a map's leading underscore taken off)
  Scope scope = Scope::kGlobal;
  std::string file;      // module, for statics
  std::string function;  // for a function's statics and locals
  TypePtr type;
  Place place;
  std::string area;  // SDCC's space letter or the map's area, for messages
  // A linker map shows names up to a column's width: this one filled it, so
  // it may be the first characters of a longer name.
  bool name_cut = false;
};

class SymbolTable {
 public:
  SymbolTable() = default;
  explicit SymbolTable(std::vector<Variable> variables, std::string source = "",
                       std::map<std::string, std::string> left_out = {})
      : variables_(std::move(variables)),
        source_(std::move(source)),
        left_out_(std::move(left_out)) {}

  // The variable a C name (or a map name with its underscore) stands for:
  // a global before a file static; nullptr when none, when two files have a
  // static of that name, or for a name declared inside a function. A name
  // the map cut short stands for every longer name it begins, when it is
  // the only one that does.
  const Variable* Find(std::string_view name) const;
  // Why Find gave nothing, in one line: a local, a static of two files, a
  // name the file holds without a usable place, or no such name.
  std::string Missing(std::string_view name) const;
  bool empty() const { return variables_.empty(); }
  bool typed() const { return typed_; }
  void set_typed(bool typed) { typed_ = typed; }
  const std::vector<Variable>& variables() const { return variables_; }
  const std::string& source() const { return source_; }
  const std::map<std::string, std::string>& left_out() const { return left_out_; }

 private:
  std::vector<Variable> variables_;
  std::string source_;  // the file read, for messages
  // Names the file holds but gave no usable place, with why.
  std::map<std::string, std::string> left_out_;
  bool typed_ = false;
};

}  // namespace tarlek::mon
