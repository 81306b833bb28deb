// libFuzzer target for the frame decoders of both protocol versions, which
// pick the resident's frames out of a line that carries the program's own
// output too. The first three bytes choose the decoder (bit 0 of the first:
// version 3; bit 1: the resident's side, which decodes requests), its largest
// payload, and how the rest is cut into the pieces that Feed takes; the rest
// is the line. After every run:
//   - the stream fed in pieces decodes exactly as when fed whole;
//   - its output bytes and the frames, encoded again, give back the line, in
//     order (nothing is lost, doubled or moved);
//   - every frame has a command of the decoder's direction and a payload no
//     longer than the largest;
//   - a request the resident would take, and an identify answer, encode back
//     to the payload they came from.
// Anything else (and any crash, overflow or hang) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "protocol/frame.h"
#include "protocol/frame_v3.h"

namespace {

using tarlek::protocol::Bytes;
using tarlek::protocol::Decoder;
using tarlek::protocol::Frame;
using tarlek::protocol::Piece;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_frames: %s\n", what);
  std::abort();
}

struct Setup {
  bool v3 = false;
  bool requests = false;
  size_t largest = 255;
};

std::unique_ptr<Decoder> MakeDecoder(const Setup& setup) {
  if (setup.v3) {
    using tarlek::protocol::v3::FrameDecoder;
    return std::make_unique<FrameDecoder>(
        setup.requests ? FrameDecoder::Direction::kRequests : FrameDecoder::Direction::kAnswers,
        setup.largest);
  }
  using tarlek::protocol::FrameDecoder;
  return std::make_unique<FrameDecoder>(
      setup.requests ? FrameDecoder::Direction::kRequests : FrameDecoder::Direction::kAnswers,
      setup.largest);
}

// What a decoder made of a stream: output runs merged across calls, frames.
struct Decoded {
  std::vector<Piece> pieces;
  size_t damaged = 0;
  bool operator==(const Decoded&) const = default;
};

void Append(Decoded& decoded, std::vector<Piece>&& pieces) {
  for (Piece& piece : pieces) {
    if (piece.kind == Piece::kOutput && piece.output.empty()) Fail("an empty output piece");
    if (piece.kind == Piece::kOutput && !decoded.pieces.empty() &&
        decoded.pieces.back().kind == Piece::kOutput) {
      Bytes& into = decoded.pieces.back().output;
      into.insert(into.end(), piece.output.begin(), piece.output.end());
    } else {
      decoded.pieces.push_back(std::move(piece));
    }
  }
}

// Feeds the line in pieces of the given lengths (cycled), then gives up on
// whatever is held back until nothing is.
Decoded Decode(const Setup& setup, std::span<const uint8_t> line,
               std::span<const uint8_t> lengths) {
  const auto decoder = MakeDecoder(setup);
  Decoded decoded;
  size_t at = 0;
  for (size_t k = 0; at < line.size(); ++k) {
    const size_t n = std::min<size_t>(line.size() - at, lengths[k % lengths.size()]);
    Append(decoded, decoder->Feed(line.subspan(at, n)));
    at += n;
  }
  // Each flush gives up at least the byte a held frame began with.
  for (size_t flushes = 0; decoder->HasPartial(); ++flushes) {
    if (flushes > line.size()) Fail("FlushPartial does not empty the decoder");
    Append(decoded, decoder->FlushPartial());
  }
  decoded.damaged = decoder->damaged_frames();
  return decoded;
}

bool IsCommandOf(const Setup& setup, uint8_t command) {
  const bool answer = (command & tarlek::protocol::kAnswerBit) != 0;
  if (answer == setup.requests) return false;
  if (setup.v3) return command != 0;
  const uint8_t code = command & 0x7F;
  return code >= tarlek::protocol::kIdentify && code <= tarlek::protocol::kLastCommand;
}

Bytes Encoded(const Setup& setup, const Frame& frame) {
  if (setup.v3) return tarlek::protocol::v3::EncodeFrame(frame.command, frame.seq, frame.payload);
  if (frame.seq != 0) Fail("a protocol 2 frame with a seq");
  return tarlek::protocol::EncodeFrame(frame.command, frame.payload);
}

// A request the resident takes, built again from what ParseRequest read.
void CheckRequest(const Setup& setup, const Frame& frame) {
  using namespace tarlek::protocol;
  const auto request = ParseRequest(frame, setup.largest);
  if (!request) return;
  Bytes body;
  switch (request->command) {
    case kIdentify:
      break;
    case kReadCode:
    case kReadXram:
    case kReadIram:
    case kReadSfr:
      if (request->count == 0 || request->count > setup.largest) Fail("a read count beyond limits");
      body = ReadBody(request->space, request->address, request->count);
      break;
    default:
      body = WriteBody(request->space, request->address, request->data, frame.seq);
      break;
  }
  if (body != frame.payload) Fail("a request does not encode back to its payload");
  if (request->space == Space::kSfr &&
      (request->address < 0x80 ||
       request->address + std::max<size_t>(request->count, request->data.size()) > 0x100)) {
    Fail("an SFR request outside 80h-FFh");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Setup setup;
  setup.v3 = (data[0] & 1) != 0;
  setup.requests = (data[0] & 2) != 0;
  setup.largest = data[1];
  // Piece lengths 1..16 from the third byte's nibbles and their sum.
  const uint8_t lengths[] = {static_cast<uint8_t>((data[2] & 15) + 1),
                             static_cast<uint8_t>((data[2] >> 4) + 1),
                             static_cast<uint8_t>(((data[2] + (data[2] >> 4)) & 15) + 1)};
  const std::span<const uint8_t> line(data + 3, size - 3);
  const uint8_t whole[] = {255};

  const Decoded at_once = Decode(setup, line, whole);
  const Decoded in_pieces = Decode(setup, line, lengths);
  if (at_once != in_pieces) Fail("fed in pieces, the line decodes otherwise than whole");

  Bytes again;
  for (const Piece& piece : at_once.pieces) {
    if (piece.kind == Piece::kOutput) {
      again.insert(again.end(), piece.output.begin(), piece.output.end());
      continue;
    }
    const Frame& frame = piece.frame;
    if (!IsCommandOf(setup, frame.command)) Fail("a frame with a command of the wrong direction");
    if (frame.payload.size() > setup.largest) Fail("a frame longer than the largest payload");
    const Bytes encoded = Encoded(setup, frame);
    again.insert(again.end(), encoded.begin(), encoded.end());
    if (setup.requests) {
      CheckRequest(setup, frame);
    } else if (frame.command == (tarlek::protocol::kIdentify | tarlek::protocol::kAnswerBit)) {
      const auto info = tarlek::protocol::ParseIdentify(frame.payload);
      if (info && tarlek::protocol::EncodeIdentifyPayload(*info) != frame.payload) {
        Fail("an identify answer does not encode back to its payload");
      }
    }
  }
  if (!std::equal(again.begin(), again.end(), line.begin(), line.end())) {
    Fail("output and frames do not give back the line");
  }
  return 0;
}
