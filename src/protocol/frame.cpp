#include "protocol/frame.h"

#include <numeric>
#include <optional>

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

constexpr const SpaceCommands& CommandsOf(Space space) {
  for (const auto& entry : kSpaceCommands) {
    if (entry.space == space) return entry;
  }
  return kSpaceCommands[0];
}

constexpr size_t WidthOf(Space space) {
  return space == Space::kCode || space == Space::kXram ? 2 : 1;
}

// A copy, not a pointer into the table: a sanitizer's build takes no pointer
// comparison as a constant.
constexpr std::optional<resident::CommandFacts> RuleOf(uint8_t command) {
  for (const auto& rule : resident::kCommands) {
    if (rule.code == command) return rule;
  }
  return std::nullopt;
}

// The bodies this codec reads, against the length rules of resident/facts.txt:
// a read is its address and a count, a write its address, ACHK and at least a
// data byte, identify nothing.
constexpr bool BodiesFitTheRules() {
  for (const auto& entry : kSpaceCommands) {
    const auto read = RuleOf(entry.read);
    if (!read || read->at_least || read->length != WidthOf(entry.space) + 1) return false;
    if (entry.write == 0) continue;
    const auto write = RuleOf(entry.write);
    if (!write || !write->at_least || write->length != WidthOf(entry.space) + 2) {
      return false;
    }
  }
  const auto identify = RuleOf(kIdentify);
  return identify.has_value() && !identify->at_least && identify->length == 0;
}
static_assert(BodiesFitTheRules(), "the request bodies no longer fit resident/facts.txt");

}  // namespace

uint8_t ReadCommand(Space space) { return CommandsOf(space).read; }
uint8_t WriteCommand(Space space) { return CommandsOf(space).write; }

size_t AddressWidth(Space space) { return WidthOf(space); }

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

// An identify field's value: a byte, or a number of more, big-endian.
uint32_t FieldOf(std::span<const uint8_t> payload, resident::IdentifyField field) {
  return BigEndian(payload.subspan(field.offset, field.bytes));
}

uint8_t ByteOf(std::span<const uint8_t> payload, resident::IdentifyField field) {
  return static_cast<uint8_t>(FieldOf(payload, field));
}

void PutField(Bytes& out, resident::IdentifyField field, uint32_t value) {
  for (size_t k = 0; k < field.bytes; ++k) {
    out[field.offset + k] = static_cast<uint8_t>(value >> (8 * (field.bytes - 1 - k)));
  }
}

}  // namespace

std::optional<IdentifyInfo> ParseIdentify(std::span<const uint8_t> p) {
  if (p.size() != kIdentifyLength) return std::nullopt;
  IdentifyInfo info;
  info.protocol = ByteOf(p, resident::kIdentifyProtocol);
  info.major = ByteOf(p, resident::kIdentifyMajor);
  info.minor = ByteOf(p, resident::kIdentifyMinor);
  info.patch = ByteOf(p, resident::kIdentifyPatch);
  info.page = ByteOf(p, resident::kIdentifyPage);
  info.clock_hz = FieldOf(p, resident::kIdentifyClockHz);
  info.baud = FieldOf(p, resident::kIdentifyBaud);
  info.largest_payload = ByteOf(p, resident::kIdentifyLargestPayload);
  info.commands = static_cast<uint16_t>(FieldOf(p, resident::kIdentifyCommands));
  return info;
}

Bytes EncodeIdentifyPayload(const IdentifyInfo& info) {
  Bytes out(kIdentifyLength);
  PutField(out, resident::kIdentifyProtocol, info.protocol);
  PutField(out, resident::kIdentifyMajor, info.major);
  PutField(out, resident::kIdentifyMinor, info.minor);
  PutField(out, resident::kIdentifyPatch, info.patch);
  PutField(out, resident::kIdentifyPage, info.page);
  PutField(out, resident::kIdentifyClockHz, info.clock_hz);
  PutField(out, resident::kIdentifyBaud, info.baud);
  PutField(out, resident::kIdentifyLargestPayload, info.largest_payload);
  PutField(out, resident::kIdentifyCommands, info.commands);
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
  // LEN must fit the command: exactly, or at least for a write.
  const auto rule = RuleOf(frame.command);
  if (!rule) return std::nullopt;
  if (rule->at_least ? p.size() < rule->length : p.size() != rule->length) return std::nullopt;
  switch (frame.command) {
    case kIdentify:
      return request;
    case kReadCode:
    case kReadXram:
    case kReadIram:
    case kReadSfr: {
      request.space = SpaceOf(frame.command);
      const size_t width = AddressWidth(request.space);
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
      if (p.size() > largest_payload) return std::nullopt;
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
