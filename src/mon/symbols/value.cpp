#include "mon/symbols/value.h"

#include <fmt/format.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "base/failure.h"
#include "base/hex_text.h"
#include "mon/line/address.h"

namespace tarlek::mon {

using json = nlohmann::ordered_json;

namespace {

uint64_t LittleEndian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

int64_t SignExtend(uint64_t value, unsigned bits) {
  if (bits >= 64) return static_cast<int64_t>(value);
  const uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((value ^ sign) - sign);
}

uint64_t Mask(unsigned bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

const char* GenericSpace(uint8_t tag) {
  switch (tag) {
    case 0x00:
      return "xdata";
    case 0x40:
      return "iram";
    case 0x60:
      return "pdata";
    case 0x80:
      return "code";
    default:
      return nullptr;
  }
}

std::string PointerText(const Type& type, const json& value) {
  if (type.pointer == PointerKind::kGeneric) return value.get<std::string>();
  const auto address = value.get<uint32_t>();
  switch (type.pointer) {
    case PointerKind::kData:
    case PointerKind::kIdata:
      return fmt::format("iram {:02X}h", address);
    case PointerKind::kPdata:
      return fmt::format("pdata {:02X}h", address);
    case PointerKind::kXdata:
      return fmt::format("xdata {:04X}h", address);
    case PointerKind::kCode:
      return fmt::format("code {:04X}h", address);
    case PointerKind::kGeneric:
      break;
  }
  return "?";
}

// An integer as typed: decimal with an optional sign, 0x.. or ..h; its sign
// and magnitude.
struct Integer {
  bool negative = false;
  bool hex = false;
  uint64_t magnitude = 0;
};
std::optional<Integer> ParseInteger(std::string_view text) {
  Integer out;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    out.negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const MarkedDigits number = SplitHexMark(text);
  out.hex = number.hex;
  const auto magnitude = ParseDigits<uint64_t>(number.digits, out.hex ? 16 : 10);
  if (!magnitude) return std::nullopt;
  out.magnitude = *magnitude;
  return out;
}

// text as bits bits: for an unsigned type any value that fits; for a signed
// one a decimal value in its range, or any bit pattern in hexadecimal.
uint64_t FitBits(std::string_view text, unsigned bits, bool is_signed, const std::string& what) {
  const auto value = ParseInteger(text);
  const uint64_t mask = Mask(bits);
  const bool fits =
      value &&
      (value->negative ? value->magnitude == 0 || (is_signed && value->magnitude - 1 <= (mask >> 1))
                       : value->magnitude <= (is_signed && !value->hex ? mask >> 1 : mask));
  if (!fits) {
    const std::string range = is_signed ? fmt::format(" (-{} to {})", (mask >> 1) + 1, mask >> 1)
                                        : fmt::format(" (0 to {})", mask);
    throw UsageError(fmt::format("{} is not a value for {}{}", text, what, range));
  }
  return value->negative ? (~value->magnitude + 1) & mask : value->magnitude;
}

void StoreLittleEndian(uint64_t value, protocol::Bytes& bytes) {
  for (uint8_t& b : bytes) {
    b = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

}  // namespace

json DecodeValue(const Type& type, std::span<const uint8_t> bytes) {
  bytes = bytes.first(std::min<size_t>(bytes.size(), type.size));
  switch (type.kind) {
    case TypeKind::kBytes:
      return json(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    case TypeKind::kInteger: {
      const uint64_t raw = LittleEndian(bytes);
      if (type.is_signed) return SignExtend(raw, static_cast<unsigned>(8 * bytes.size()));
      return raw;
    }
    case TypeKind::kFloat: {
      const auto raw = static_cast<uint32_t>(LittleEndian(bytes));
      const auto value = std::bit_cast<float>(raw);
      // An infinity stays a number: its text says inf, JSON text null.
      if (std::isnan(value)) return nullptr;
      return value;
    }
    case TypeKind::kBool:
      return bytes.empty() || bytes[0] == 0 ? 0 : 1;
    case TypeKind::kBitField: {
      const uint64_t raw = (LittleEndian(bytes) >> type.bit_offset) & Mask(type.bit_width);
      // A signed field of one bit holds 0 or -1, as SDCC's code reads it.
      if (type.is_signed) return SignExtend(raw, type.bit_width);
      return raw;
    }
    case TypeKind::kPointer: {
      if (type.pointer != PointerKind::kGeneric) return LittleEndian(bytes);
      const auto address = static_cast<uint32_t>(LittleEndian(bytes.first(2)));
      const uint8_t tag = bytes.size() > 2 ? bytes[2] : 0;
      const char* space = GenericSpace(tag);
      if (space == nullptr) return fmt::format("{:02X}:{:04X}h", tag, address);
      return std::string_view(space) == "xdata" || std::string_view(space) == "code"
                 ? fmt::format("{} {:04X}h", space, address)
                 : fmt::format("{} {:02X}h", space, address & 0xFF);
    }
    case TypeKind::kArray: {
      json list = json::array();
      const size_t size = type.element->size;
      for (size_t i = 0; i < type.count && size > 0 && (i + 1) * size <= bytes.size(); ++i) {
        list.push_back(DecodeValue(*type.element, bytes.subspan(i * size, size)));
      }
      return list;
    }
    case TypeKind::kStruct: {
      json object = json::object();
      for (const Member& m : type.members) {
        if (m.offset + m.type->size > bytes.size()) continue;
        object[m.name] = DecodeValue(*m.type, bytes.subspan(m.offset, m.type->size));
      }
      return object;
    }
  }
  return nullptr;
}

std::string FormatValue(const Type& type, const json& value, bool hex) {
  switch (type.kind) {
    case TypeKind::kBytes: {
      std::string out;
      for (const auto& b : value)
        out += fmt::format("{}{:02X}", out.empty() ? "" : " ", b.get<int>());
      return out;
    }
    case TypeKind::kInteger:
    case TypeKind::kBitField:
    case TypeKind::kBool: {
      const unsigned bits = type.kind == TypeKind::kBitField ? type.bit_width : 8 * type.size;
      if (hex) {
        const uint64_t raw = value.is_number_unsigned()
                                 ? value.get<uint64_t>()
                                 : static_cast<uint64_t>(value.get<int64_t>()) & Mask(bits);
        return fmt::format("{:0{}X}h", raw, (bits + 3) / 4);
      }
      return value.dump();
    }
    case TypeKind::kFloat:
      return value.is_null() ? "nan" : fmt::format("{}", value.get<float>());
    case TypeKind::kPointer:
      return PointerText(type, value);
    case TypeKind::kArray: {
      std::string out = "[";
      for (size_t i = 0; i < value.size(); ++i) {
        out += (i ? ", " : "") + FormatValue(*type.element, value[i], hex);
      }
      return out + "]";
    }
    case TypeKind::kStruct: {
      std::string out = "{";
      bool first = true;
      for (const Member& m : type.members) {
        if (!value.contains(m.name)) continue;
        out += (first ? "" : ", ") + m.name + ": " + FormatValue(*m.type, value[m.name], hex);
        first = false;
      }
      return out + "}";
    }
  }
  return value.dump();
}

protocol::Bytes EncodeValue(const Type& type, std::string_view text, std::span<const uint8_t> old) {
  protocol::Bytes bytes(type.size);
  const std::string what = type.Name();
  switch (type.kind) {
    case TypeKind::kBytes:
      throw UsageError("untyped: give the bytes to write");
    case TypeKind::kInteger:
      StoreLittleEndian(FitBits(text, 8 * type.size, type.is_signed, what), bytes);
      return bytes;
    case TypeKind::kBool:
    case TypeKind::kBitField: {
      const bool is_bool = type.kind == TypeKind::kBool;
      const unsigned width = is_bool ? 1 : type.bit_width;
      const bool is_signed = !is_bool && type.is_signed;
      std::string_view number = text;
      // true sets the bit: -1 in a signed field of one bit.
      if (text == "true") number = is_signed && width == 1 ? "-1" : "1";
      if (text == "false") number = "0";
      const uint64_t value = FitBits(number, width, is_signed, what);
      if (is_bool) {
        bytes[0] = static_cast<uint8_t>(value);
        return bytes;
      }
      uint64_t word = LittleEndian(old.first(std::min<size_t>(old.size(), type.size)));
      word &= ~(Mask(width) << type.bit_offset);
      word |= value << type.bit_offset;
      StoreLittleEndian(word, bytes);
      return bytes;
    }
    case TypeKind::kFloat: {
      const std::string copy(text);
      char* end = nullptr;
      errno = 0;
      const float value = std::strtof(copy.c_str(), &end);
      if (copy.empty() || end != copy.c_str() + copy.size() || errno == ERANGE ||
          !std::isfinite(value)) {
        throw UsageError(fmt::format("{} is not a value for a float", text));
      }
      StoreLittleEndian(std::bit_cast<uint32_t>(value), bytes);
      return bytes;
    }
    case TypeKind::kPointer: {
      if (type.pointer == PointerKind::kGeneric) {
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
          const std::string_view space = text.substr(0, colon);
          const uint8_t tag = space == "xdata" || space == "xram"                      ? 0x00
                              : space == "iram" || space == "data" || space == "idata" ? 0x40
                              : space == "pdata"                                       ? 0x60
                              : space == "code"                                        ? 0x80
                                                                                       : 0xFF;
          const auto address = ParseHex(text.substr(colon + 1));
          if (tag == 0xFF || !address || *address > 0xFFFF) {
            throw UsageError(fmt::format(
                "{} is not a generic pointer (xdata:ADDR, iram:ADDR, pdata:ADDR, code:ADDR)",
                text));
          }
          StoreLittleEndian(*address | (uint32_t{tag} << 16), bytes);
          return bytes;
        }
      }
      StoreLittleEndian(FitBits(text, 8 * type.size, false, what), bytes);
      return bytes;
    }
    case TypeKind::kArray:
    case TypeKind::kStruct:
      throw UsageError(fmt::format("a {} is written member by member or element by element", what));
  }
  return bytes;
}

}  // namespace tarlek::mon
