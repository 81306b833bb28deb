#include "protocol/frame.h"

#include <numeric>

namespace tarlek::protocol {
namespace {

void AppendOutput(std::vector<Piece>& pieces, uint8_t byte) {
  if (pieces.empty() || pieces.back().kind != Piece::kOutput) {
    pieces.push_back(Piece{Piece::kOutput, {}, {}});
  }
  pieces.back().output.push_back(byte);
}

uint8_t Sum(std::span<const uint8_t> bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

}  // namespace

namespace {

struct SpaceCommands {
  Space space;
  uint8_t read;
  uint8_t write;  // 0: read-only
};
constexpr SpaceCommands kSpaceCommands[] = {
    {Space::kCode, kReadCode, 0},
    {Space::kIram, kReadIram, kWriteIram},
    {Space::kSfr, kReadSfr, kWriteSfr},
    {Space::kXram, kReadXram, kWriteXram},
};

const SpaceCommands& CommandsOf(Space space) {
  for (const auto& entry : kSpaceCommands) {
    if (entry.space == space) return entry;
  }
  return kSpaceCommands[0];
}

}  // namespace

uint8_t ReadCommand(Space space) { return CommandsOf(space).read; }
uint8_t WriteCommand(Space space) { return CommandsOf(space).write; }

size_t AddressWidth(Space space) { return space == Space::kCode || space == Space::kXram ? 2 : 1; }

uint8_t Complement(std::span<const uint8_t> bytes, uint8_t start) {
  return static_cast<uint8_t>(0x100 - ((start + Sum(bytes)) & 0xFF));
}

Bytes EncodeFrame(uint8_t command, std::span<const uint8_t> payload) {
  Bytes frame;
  frame.reserve(payload.size() + kFrameOverhead);
  frame.push_back(kStart);
  frame.push_back(command);
  frame.push_back(static_cast<uint8_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(Complement(std::span(frame).subspan(1)));
  return frame;
}

Bytes EncodeIdentify() { return EncodeFrame(kIdentify, {}); }

namespace {

Bytes AddressBytes(Space space, uint16_t address) {
  if (AddressWidth(space) == 2) {
    return {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  }
  return {static_cast<uint8_t>(address)};
}

}  // namespace

Bytes ReadBody(Space space, uint16_t address, uint8_t count) {
  Bytes body = AddressBytes(space, address);
  body.push_back(count);
  return body;
}

Bytes WriteBody(Space space, uint16_t address, std::span<const uint8_t> data, uint8_t seq) {
  Bytes body = AddressBytes(space, address);
  const size_t length = body.size() + 1 + data.size();
  // ACHK: command + seq + LEN + address bytes + ACHK == 0.
  Bytes header = {WriteCommand(space), seq, static_cast<uint8_t>(length)};
  header.insert(header.end(), body.begin(), body.end());
  body.push_back(Complement(header));
  body.insert(body.end(), data.begin(), data.end());
  return body;
}

Bytes EncodeRead(Space space, uint16_t address, uint8_t count) {
  return EncodeFrame(ReadCommand(space), ReadBody(space, address, count));
}

Bytes EncodeWrite(Space space, uint16_t address, std::span<const uint8_t> data) {
  return EncodeFrame(WriteCommand(space), WriteBody(space, address, data));
}

Bytes EncodeAnswer(uint8_t request_command, std::span<const uint8_t> payload) {
  return EncodeFrame(static_cast<uint8_t>(request_command | kAnswerBit), payload);
}

FrameDecoder::FrameDecoder(Direction direction, size_t largest_payload)
    : direction_(direction), largest_payload_(largest_payload) {}

bool FrameDecoder::IsCommand(uint8_t byte) const {
  const uint8_t bit = direction_ == Direction::kAnswers ? kAnswerBit : 0;
  if ((byte & kAnswerBit) != bit) return false;
  const uint8_t code = byte & 0x7F;
  return code >= kIdentify && code <= kLastCommand;
}

std::vector<Piece> FrameDecoder::Feed(std::span<const uint8_t> bytes) {
  held_.insert(held_.end(), bytes.begin(), bytes.end());
  std::vector<Piece> pieces;
  Scan(pieces);
  return pieces;
}

std::vector<Piece> FrameDecoder::FlushPartial() {
  std::vector<Piece> pieces;
  if (held_.empty()) return pieces;
  if (held_.size() > 1 && IsCommand(held_[1])) ++damaged_;
  AppendOutput(pieces, held_.front());
  held_.erase(held_.begin());
  Scan(pieces);
  return pieces;
}

void FrameDecoder::Scan(std::vector<Piece>& pieces) {
  size_t i = 0;
  const size_t size = held_.size();
  while (i < size) {
    if (held_[i] != kStart) {
      AppendOutput(pieces, held_[i++]);
      continue;
    }
    const size_t available = size - i;
    if (available < 2) break;
    if (!IsCommand(held_[i + 1])) {
      AppendOutput(pieces, held_[i++]);
      continue;
    }
    if (available < 3) break;
    const size_t length = held_[i + 2];
    if (length > largest_payload_) {
      ++damaged_;
      AppendOutput(pieces, held_[i++]);
      continue;
    }
    if (available < length + kFrameOverhead) break;
    const auto summed = std::span(held_).subspan(i + 1, length + 3);
    if (Sum(summed) != 0) {
      ++damaged_;
      AppendOutput(pieces, held_[i++]);
      continue;
    }
    Piece piece{Piece::kFrame, {}, {}};
    piece.frame.command = held_[i + 1];
    piece.frame.payload.assign(held_.begin() + static_cast<ptrdiff_t>(i + 3),
                               held_.begin() + static_cast<ptrdiff_t>(i + 3 + length));
    pieces.push_back(std::move(piece));
    i += length + kFrameOverhead;
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<ptrdiff_t>(i));
}

namespace {

uint32_t BigEndian(std::span<const uint8_t> bytes) {
  uint32_t value = 0;
  for (uint8_t b : bytes) value = (value << 8) | b;
  return value;
}

void PutBigEndian(Bytes& out, uint32_t value, int width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

}  // namespace

std::optional<IdentifyInfo> ParseIdentify(std::span<const uint8_t> p) {
  if (p.size() != kIdentifyLength) return std::nullopt;
  IdentifyInfo info;
  info.protocol = p[0];
  info.major = p[1];
  info.minor = p[2];
  info.patch = p[3];
  info.page = p[4];
  info.clock_hz = BigEndian(p.subspan(5, 4));
  info.baud = BigEndian(p.subspan(9, 4));
  info.largest_payload = p[13];
  info.commands = static_cast<uint16_t>(BigEndian(p.subspan(14, 2)));
  return info;
}

Bytes EncodeIdentifyPayload(const IdentifyInfo& info) {
  Bytes out = {info.protocol, info.major, info.minor, info.patch, info.page};
  PutBigEndian(out, info.clock_hz, 4);
  PutBigEndian(out, info.baud, 4);
  out.push_back(info.largest_payload);
  PutBigEndian(out, info.commands, 2);
  return out;
}

namespace {

// The space of a read or write command (one of them).
Space SpaceOf(uint8_t command) {
  for (const auto& entry : kSpaceCommands) {
    if (entry.read == command || entry.write == command) return entry.space;
  }
  return Space::kCode;
}

}  // namespace

std::optional<Request> ParseRequest(const Frame& frame, size_t largest_payload) {
  Request request;
  request.command = frame.command;
  const Bytes& p = frame.payload;
  switch (frame.command) {
    case kIdentify:
      if (!p.empty()) return std::nullopt;
      return request;
    case kReadCode:
    case kReadXram:
    case kReadIram:
    case kReadSfr: {
      request.space = SpaceOf(frame.command);
      const size_t width = AddressWidth(request.space);
      if (p.size() != width + 1) return std::nullopt;
      request.address = static_cast<uint16_t>(BigEndian(std::span(p).first(width)));
      request.count = p[width];
      if (request.count == 0 || request.count > largest_payload) return std::nullopt;
      if (request.space == Space::kSfr &&
          (request.address < 0x80 || request.address + request.count - 1 > 0xFF)) {
        return std::nullopt;
      }
      return request;
    }
    case kWriteXram:
    case kWriteIram:
    case kWriteSfr: {
      request.space = SpaceOf(frame.command);
      const size_t width = AddressWidth(request.space);
      if (p.size() < width + 2 || p.size() > largest_payload) return std::nullopt;
      const Bytes header = {frame.command, frame.seq, static_cast<uint8_t>(p.size())};
      if (static_cast<uint8_t>(Sum(header) + Sum(std::span(p).first(width + 1))) != 0) {
        return std::nullopt;
      }
      request.address = static_cast<uint16_t>(BigEndian(std::span(p).first(width)));
      request.data.assign(p.begin() + static_cast<ptrdiff_t>(width + 1), p.end());
      if (request.space == Space::kSfr &&
          (request.address < 0x80 || request.address + request.data.size() - 1 > 0xFF)) {
        return std::nullopt;
      }
      return request;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace tarlek::protocol
