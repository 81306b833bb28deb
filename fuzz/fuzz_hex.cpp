// libFuzzer target for the strict Intel HEX reading that tarlek-mon's verify
// and dump files go through (ReadHexStrict, ParseIntelHex). The fuzzer's
// bytes are the file's text. After every run:
//   - a refusal names a line the text has and says why, and ParseIntelHex
//     throws it as a usage failure "NAME:LINE: why";
//   - a text taken gives sorted segments with gaps between them, within 64 KB,
//     holding exactly the bytes the records gave;
//   - those segments, written as HEX and read again, give the same bytes.
// Anything else (and any crash, overflow or hang) is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "base/address_space.h"
#include "base/failure.h"
#include "base/image_file.h"
#include "base/intel_hex.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_hex: %s\n", what);
  std::abort();
}

void CheckRefusal(const std::string& text, const tarlek::HexRefusal& refusal) {
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (refusal.line == 0 || refusal.line > lines) Fail("a refusal names a line the text lacks");
  if (refusal.reason[0] == '\0') Fail("a refusal without a reason");
  try {
    tarlek::ParseIntelHex(text, "f.hex");
    Fail("ParseIntelHex takes a text the strict reading refuses");
  } catch (const tarlek::Failure& failure) {
    const std::string expected =
        "f.hex:" + std::to_string(refusal.line) + ": " + std::string(refusal.reason);
    if (failure.status() != tarlek::kExitUsage || failure.what() != expected) {
      Fail("ParseIntelHex's failure is not the refusal");
    }
  }
}

void CheckSegments(const std::vector<tarlek::Segment>& segments,
                   const tarlek::HexContents& contents) {
  size_t held = 0;
  uint64_t end = 0;
  for (size_t k = 0; k < segments.size(); ++k) {
    const tarlek::Segment& segment = segments[k];
    if (segment.data.empty()) Fail("an empty segment");
    if (k > 0 && segment.address <= end) Fail("segments out of order or adjacent");
    end = uint64_t{segment.address} + segment.data.size();
    if (end > tarlek::kAddressSpaceSize) Fail("a segment beyond 64 KB");
    for (size_t i = 0; i < segment.data.size(); ++i) {
      const size_t address = segment.address + i;
      if (!contents.held.test(address) || contents.bytes[address] != segment.data[i]) {
        Fail("a segment byte the records did not give");
      }
    }
    held += segment.data.size();
  }
  if (held != contents.held.count()) Fail("segments leave out bytes the records gave");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto contents = std::make_unique<tarlek::HexContents>();
  tarlek::HexRefusal refusal;
  if (!tarlek::ReadHexStrict(text, *contents, refusal)) {
    CheckRefusal(text, refusal);
    return 0;
  }
  const auto segments = tarlek::ParseIntelHex(text, "f.hex");
  CheckSegments(segments, *contents);

  const std::string written = tarlek::FormatIntelHex(segments);
  const auto again = std::make_unique<tarlek::HexContents>();
  if (!tarlek::ReadHexStrict(written, *again, refusal)) Fail("the HEX written is refused");
  if (again->held != contents->held || again->bytes != contents->bytes) {
    Fail("the HEX written reads back otherwise");
  }
  return 0;
}
