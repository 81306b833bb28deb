// Typed values to and from the bytes in the program's memory: integers,
// floats, bit-fields, pointers and arrays, as JSON and as text.
#include "mon/symbols/value.h"

#include <gtest/gtest.h>

#include <string>

#include "base/failure.h"

namespace tarlek::mon {
namespace {

TEST(Values, DecodeAndFormat) {
  const auto bitfield = [](uint8_t offset, uint8_t width, bool is_signed) {
    Type t;
    t.kind = TypeKind::kBitField;
    t.size = static_cast<uint32_t>(offset + width + 7) / 8;
    t.bit_offset = offset;
    t.bit_width = width;
    t.is_signed = is_signed;
    return t;
  };
  Type fl;
  fl.kind = TypeKind::kFloat;
  fl.size = 4;
  Type generic;
  generic.kind = TypeKind::kPointer;
  generic.pointer = PointerKind::kGeneric;
  generic.size = 3;
  Type xptr = generic;
  xptr.pointer = PointerKind::kXdata;
  xptr.size = 2;
  const struct {
    Type type;
    protocol::Bytes bytes;
    const char* json;
    const char* text;
    const char* hex;
  } cases[] = {
      {*IntegerType(2, true), {0xFE, 0xFF}, "-2", "-2", "FFFEh"},
      {*IntegerType(2, false), {0x34, 0x12}, "4660", "4660", "1234h"},
      {*IntegerType(4, true), {0x00, 0x00, 0x00, 0x80}, "-2147483648", "-2147483648", "80000000h"},
      {*IntegerType(8, false), protocol::Bytes(8, 0xFF), "18446744073709551615",
       "18446744073709551615", "FFFFFFFFFFFFFFFFh"},
      {fl, {0x00, 0x00, 0xC0, 0x3F}, "1.5", "1.5", "1.5"},
      {fl, {0x00, 0x00, 0xC0, 0x7F}, "null", "nan", "nan"},
      // JSON has no infinity; the text says which one.
      {fl, {0x00, 0x00, 0x80, 0x7F}, "null", "inf", "inf"},
      {fl, {0x00, 0x00, 0x80, 0xFF}, "null", "-inf", "-inf"},
      {bitfield(3, 5, false), {0xF8}, "31", "31", "1Fh"},
      {bitfield(4, 9, true), {0x00, 0x10}, "-256", "-256", "100h"},
      {bitfield(7, 1, false), {0x80}, "1", "1", "1h"},
      // SDCC's code reads a signed field of one bit as 0 or -1.
      {bitfield(2, 1, true), {0x04}, "-1", "-1", "1h"},
      {bitfield(2, 1, true), {0xFB}, "0", "0", "0h"},
      {generic, {0x34, 0x12, 0x00}, "\"xdata 1234h\"", "xdata 1234h", "xdata 1234h"},
      {generic, {0x30, 0x00, 0x40}, "\"iram 30h\"", "iram 30h", "iram 30h"},
      {generic, {0x00, 0x01, 0x80}, "\"code 0100h\"", "code 0100h", "code 0100h"},
      {xptr, {0x00, 0x80}, "32768", "xdata 8000h", "xdata 8000h"},
      {*BytesType(3), {0x01, 0xAB, 0x00}, "[1,171,0]", "01 AB 00", "01 AB 00"},
  };
  for (const auto& c : cases) {
    const auto value = DecodeValue(c.type, c.bytes);
    EXPECT_EQ(value.dump(), c.json) << c.type.Name();
    EXPECT_EQ(FormatValue(c.type, value, false), c.text) << c.type.Name();
    EXPECT_EQ(FormatValue(c.type, value, true), c.hex) << c.type.Name();
  }
}

TEST(Values, EncodeWhatTheTypeTakes) {
  Type bits;
  bits.kind = TypeKind::kBitField;
  bits.size = 1;
  bits.bit_offset = 3;
  bits.bit_width = 2;
  Type sign = bits;
  sign.bit_width = 1;
  sign.is_signed = true;
  Type fl;
  fl.kind = TypeKind::kFloat;
  fl.size = 4;
  Type generic;
  generic.kind = TypeKind::kPointer;
  generic.size = 3;
  const struct {
    Type type;
    const char* text;
    protocol::Bytes old;
    protocol::Bytes bytes;
  } cases[] = {
      {*IntegerType(2, true), "-2", {}, {0xFE, 0xFF}},
      {*IntegerType(2, true), "-32768", {}, {0x00, 0x80}},
      {*IntegerType(2, true), "0xFFFF", {}, {0xFF, 0xFF}},
      {*IntegerType(2, false), "1234h", {}, {0x34, 0x12}},
      {*IntegerType(2, false), "-0", {}, {0x00, 0x00}},
      {*IntegerType(8, true), "-1", {}, protocol::Bytes(8, 0xFF)},
      {fl, "-0.25", {}, {0x00, 0x00, 0x80, 0xBE}},
      {bits, "2", {0xFF}, {0xF7}},  // only bits 3 and 4 change
      {bits, "3", {0x00}, {0x18}},
      {sign, "-1", {0x00}, {0x08}},
      {sign, "true", {0x00}, {0x08}},
      {sign, "1h", {0x00}, {0x08}},  // the bit pattern
      {sign, "0", {0xFF}, {0xF7}},
      {generic, "xdata:1234", {}, {0x34, 0x12, 0x00}},
      {generic, "code:0100h", {}, {0x00, 0x01, 0x80}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeValue(c.type, c.text, c.old), c.bytes) << c.type.Name() << " " << c.text;
  }
  Type array;
  array.kind = TypeKind::kArray;
  array.element = IntegerType(1, false);
  array.count = 2;
  array.size = 2;
  const struct {
    Type type;
    const char* text;
    const char* message;
  } refused[] = {
      {*IntegerType(1, false), "256", "(0 to 255)"},
      {*IntegerType(1, false), "-1", "(0 to 255)"},
      {*IntegerType(2, true), "-32769", "(-32768 to 32767)"},
      {*IntegerType(2, true), "12x", "not a value"},
      {bits, "4", "(0 to 3)"},
      {sign, "1", "(-1 to 0)"},
      {fl, "1e99", "not a value for a float"},
      {fl, "", "not a value for a float"},
      {generic, "stack:12", "not a generic pointer"},
      {array, "1", "element by element"},
  };
  for (const auto& r : refused) {
    try {
      EncodeValue(r.type, r.text, protocol::Bytes(r.type.size));
      ADD_FAILURE() << r.text;
    } catch (const Failure& failure) {
      EXPECT_NE(std::string(failure.what()).find(r.message), std::string::npos)
          << r.text << ": " << failure.what();
    }
  }
}

}  // namespace
}  // namespace tarlek::mon
