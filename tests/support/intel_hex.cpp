#include "support/intel_hex.h"

#include <gtest/gtest.h>

#include "base/address_space.h"

namespace tarlek::testing {

std::string RecordLine(uint8_t type, uint16_t address, const Bytes& data) {
  std::vector<unsigned> fields = {static_cast<unsigned>(data.size()), unsigned{address} >> 8,
                                  unsigned{address} & 0xFF, type};
  fields.insert(fields.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (unsigned f : fields) sum += f;
  fields.push_back((0x100 - (sum & 0xFF)) & 0xFF);
  std::string line = ":";
  for (unsigned f : fields) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", f & 0xFF);
    line += digits;
  }
  return line;
}

std::vector<WrittenRecord> ParseWrittenHex(const std::string& text) {
  std::vector<WrittenRecord> records;
  const std::string eof = ":00000001FF\n";
  if (text.size() < eof.size() || text.compare(text.size() - eof.size(), eof.size(), eof) != 0) {
    ADD_FAILURE() << "the file does not end with the end-of-file record:\n" << text;
    return records;
  }
  const size_t body_end = text.size() - eof.size();
  const std::string digits = "0123456789ABCDEF";
  size_t pos = 0;
  while (pos < body_end) {
    const size_t lf = text.find('\n', pos);
    const std::string line = text.substr(pos, lf - pos);
    pos = lf + 1;
    bool ok = lf < body_end && line.size() >= 13 && line.size() % 2 == 1 && line[0] == ':' &&
              line.find_first_not_of(digits, 1) == std::string::npos;
    Bytes bytes;
    for (size_t i = 1; ok && i < line.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(digits.find(line[i]) * 16 + digits.find(line[i + 1])));
    }
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    ok = ok && bytes[0] >= 1 && bytes[0] <= 16 && bytes.size() == 5u + bytes[0] &&
         bytes[3] == 0x00 && sum % 256 == 0;
    if (!ok) {
      ADD_FAILURE() << "not a data record line as written: \"" << line << "\"";
      return records;
    }
    records.push_back({static_cast<uint16_t>(bytes[1] << 8 | bytes[2]),
                       Bytes(bytes.begin() + 4, bytes.end() - 1)});
  }
  return records;
}

LoadedHex LoadRecords(const std::vector<WrittenRecord>& records) {
  LoadedHex loaded;
  for (const WrittenRecord& r : records) {
    for (size_t k = 0; k < r.data.size(); ++k) {
      const size_t a = r.address + k;
      if (a > 0xFFFF) {
        ADD_FAILURE() << "record at " << r.address << " runs past FFFFh";
        break;
      }
      if (loaded.covered[a]) ADD_FAILURE() << "address " << a << " written twice";
      loaded.image[a] = r.data[k];
      loaded.covered[a] = true;
    }
  }
  return loaded;
}

std::vector<bool> Covering(std::initializer_list<std::pair<uint32_t, uint32_t>> ranges) {
  std::vector<bool> covered(kAddressSpaceSize, false);
  for (auto [first, last] : ranges) {
    for (uint32_t a = first; a <= last && a <= 0xFFFF; ++a) covered[a] = true;
  }
  return covered;
}

}  // namespace tarlek::testing
