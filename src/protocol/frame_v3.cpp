#include "protocol/frame_v3.h"

#include <algorithm>
#include <numeric>

namespace tarlek::protocol::v3 {
namespace {

void AppendOutput(std::vector<Piece>& pieces, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (pieces.empty() || pieces.back().kind != Piece::kOutput) {
    pieces.push_back(Piece{Piece::kOutput, {}, {}});
  }
  pieces.back().output.insert(pieces.back().output.end(), bytes.begin(), bytes.end());
}

void PutEscaped(Bytes& out, uint8_t byte) {
  if (byte == kFrameStart) {
    out.push_back(kEscape);
    out.push_back(kEscapedStart);
  } else if (byte == kEscape) {
    out.push_back(kEscape);
    out.push_back(kEscapedEscape);
  } else {
    out.push_back(byte);
  }
}

}  // namespace

Bytes EncodeFrame(uint8_t command, uint8_t seq, std::span<const uint8_t> body) {
  Bytes plain = {command, seq, static_cast<uint8_t>(body.size())};
  plain.insert(plain.end(), body.begin(), body.end());
  plain.push_back(Complement(plain));
  Bytes frame;
  frame.reserve(LongestOnLine(body.size()));
  frame.push_back(kFrameStart);
  for (uint8_t byte : plain) PutEscaped(frame, byte);
  return frame;
}

Bytes EncodeIdentify(uint8_t seq) { return EncodeFrame(kIdentify, seq, {}); }

Bytes EncodeRead(Space space, uint16_t address, uint8_t count, uint8_t seq) {
  return EncodeFrame(ReadCommand(space), seq, ReadBody(space, address, count));
}

Bytes EncodeWrite(Space space, uint16_t address, std::span<const uint8_t> data, uint8_t seq) {
  return EncodeFrame(WriteCommand(space), seq, WriteBody(space, address, data, seq));
}

Bytes EncodeAnswer(uint8_t request_command, uint8_t seq, std::span<const uint8_t> body) {
  return EncodeFrame(static_cast<uint8_t>(request_command | kAnswerBit), seq, body);
}

bool IdentifyFitsVersionProbe(uint8_t seq) {
  const Bytes frame = EncodeIdentify(seq);
  return std::find(frame.begin(), frame.end(), kStart) == frame.end();
}

FrameDecoder::FrameDecoder(Direction direction, size_t largest_payload)
    : direction_(direction), largest_payload_(largest_payload) {}

bool FrameDecoder::IsCommand(uint8_t byte) const {
  const bool answer = (byte & kAnswerBit) != 0;
  if (direction_ == Direction::kAnswers) return answer;
  return !answer && byte != 0;
}

std::vector<Piece> FrameDecoder::Feed(std::span<const uint8_t> bytes) {
  std::vector<Piece> pieces;
  for (uint8_t byte : bytes) Take(byte, pieces);
  return pieces;
}

std::vector<Piece> FrameDecoder::FlushPartial() {
  std::vector<Piece> pieces;
  Drop(pieces);
  return pieces;
}

void FrameDecoder::Drop(std::vector<Piece>& pieces) {
  if (raw_.empty()) return;
  if (!unescaped_.empty() && IsCommand(unescaped_.front())) ++damaged_;
  AppendOutput(pieces, raw_);
  raw_.clear();
  unescaped_.clear();
  escape_ = false;
}

void FrameDecoder::Take(uint8_t byte, std::vector<Piece>& pieces) {
  if (byte == kFrameStart) {
    // Always a new frame; one in progress is dropped.
    Drop(pieces);
    raw_.push_back(byte);
    return;
  }
  if (raw_.empty()) {
    AppendOutput(pieces, std::span(&byte, 1));
    return;
  }
  raw_.push_back(byte);
  if (escape_) {
    escape_ = false;
    if (byte == kEscapedStart) {
      byte = kFrameStart;
    } else if (byte == kEscapedEscape) {
      byte = kEscape;
    } else {
      Drop(pieces);
      return;
    }
  } else if (byte == kEscape) {
    escape_ = true;
    return;
  }
  unescaped_.push_back(byte);
  const size_t have = unescaped_.size();
  if (have == 1 && !IsCommand(byte)) {
    Drop(pieces);
    return;
  }
  if (have < 3) return;
  const size_t length = unescaped_[2];
  if (length > largest_payload_) {
    Drop(pieces);
    return;
  }
  if (have < length + kFrameOverhead) return;
  if (static_cast<uint8_t>(std::accumulate(unescaped_.begin(), unescaped_.end(), 0u)) != 0) {
    Drop(pieces);
    return;
  }
  Piece piece{Piece::kFrame, {}, {}};
  piece.frame.command = unescaped_[0];
  piece.frame.seq = unescaped_[1];
  piece.frame.payload.assign(unescaped_.begin() + 3, unescaped_.end() - 1);
  pieces.push_back(std::move(piece));
  raw_.clear();
  unescaped_.clear();
}

}  // namespace tarlek::protocol::v3
