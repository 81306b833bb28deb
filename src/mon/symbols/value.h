// Typed values: the bytes of a variable as JSON and as text, and text as the
// bytes to write. Multi-byte values are little-endian, as SDCC lays them out
// for the 8051; floats are IEEE single.
#pragma once

#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

#include "mon/symbols/symbol_table.h"
#include "protocol/frame.h"

namespace tarlek::mon {

// bytes holds type.size bytes. Integers and fixed pointers become numbers,
// a float a number (null when NaN; an infinity, which JSON cannot carry, is
// written as null by dump), bits and bools 0 or 1 (a signed bit-field of one
// bit 0 or -1, as SDCC's code reads it), a generic pointer a string ("xdata
// 1234h"), arrays arrays, structs objects, untyped bytes an array of numbers.
nlohmann::ordered_json DecodeValue(const Type& type, std::span<const uint8_t> bytes);

// The text of a decoded value: integers in decimal, or with hex in hexadecimal
// of the type's width (-2 as an int: FFFEh); floats as the shortest text that
// reads back the same (nan, inf, -inf); pointers as SPACE ADDRh; structs
// {a: 1, b: 2}; arrays [1, 2]; untyped bytes as hexadecimal bytes.
std::string FormatValue(const Type& type, const nlohmann::ordered_json& value, bool hex);

// The bytes to write for text: decimal, 0x1234 or 1234h for integers (in
// range for the type, signed or not), a decimal number for floats, 0/1 (or
// true/false) for bits and bools (0/-1 for a signed bit-field of one bit),
// SPACE:ADDR or a number for pointers. old holds the bytes now there, of
// which a bit-field changes only its bits. Throws a usage Failure for text
// that does not fit the type, or for a struct or an array (write their
// members or elements).
protocol::Bytes EncodeValue(const Type& type, std::string_view text, std::span<const uint8_t> old);

}  // namespace tarlek::mon
