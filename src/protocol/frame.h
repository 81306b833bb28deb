// The framed serial protocol (version 2) between the host and the resident:
// every request and every answer is  A5h CMD LEN PAYLOAD[LEN] SUM, where
// CMD + LEN + payload + SUM == 0 (mod 256) and an answer carries CMD | 80h.
// Standard library only: the host client and its tests' fake resident both
// build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/resident_facts.h"

namespace tarlek::protocol {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStart = 0xA5;
constexpr uint8_t kAnswerBit = resident::kAnswerBit;
constexpr uint8_t kProtocolVersion = 2;
constexpr size_t kFrameOverhead = 4;  // A5h, CMD, LEN, SUM
constexpr size_t kIdentifyLength = resident::kIdentifyLength;
constexpr size_t kSmallestLargestPayload = 64;

// The command codes, kIdentify to kLastCommand, the same in both versions
// (resident/facts.txt).
using enum resident::Command;
using resident::kLastCommand;

// The memory spaces the resident reaches.
enum class Space : uint8_t { kCode, kIram, kSfr, kXram };

// Read and write commands of a space; a write command of 0 means the space is
// read-only (code).
uint8_t ReadCommand(Space space);
uint8_t WriteCommand(Space space);
// Address bytes in a request of this space: 2 for code and xram, else 1.
size_t AddressWidth(Space space);

// The byte that makes the sum of bytes plus it zero (mod 256).
uint8_t Complement(std::span<const uint8_t> bytes, uint8_t start = 0);

// A whole frame with its checksum: A5h command LEN payload SUM. The payload is
// at most 255 bytes.
Bytes EncodeFrame(uint8_t command, std::span<const uint8_t> payload);

// The bodies of read and write requests, in both protocol versions: the
// address (2 bytes for code and xram, else 1) and the count; or the address,
// its check ACHK, and the data. ACHK makes command + seq + LEN + address bytes
// + ACHK = 0 (mod 256); protocol 2 has no seq (0).
Bytes ReadBody(Space space, uint16_t address, uint8_t count);
Bytes WriteBody(Space space, uint16_t address, std::span<const uint8_t> data, uint8_t seq = 0);

// Requests. count is 1..255; the caller keeps it within the resident's
// largest payload and the space.
Bytes EncodeIdentify();
Bytes EncodeRead(Space space, uint16_t address, uint8_t count);
// A write with its address check ACHK between the address and the data.
Bytes EncodeWrite(Space space, uint16_t address, std::span<const uint8_t> data);

// An answer frame (command | 80h), as a resident sends it.
Bytes EncodeAnswer(uint8_t request_command, std::span<const uint8_t> payload);

struct Frame {
  uint8_t command = 0;  // as on the line: an answer's carries 80h
  Bytes payload;
  uint8_t seq = 0;  // protocol 3: the attempt the frame belongs to; 0 in protocol 2
  bool operator==(const Frame&) const = default;
};

// One piece of the byte stream: either bytes that belong to no good frame
// (the program's own output) or a good frame.
struct Piece {
  enum Kind : uint8_t { kOutput, kFrame };
  Kind kind = kOutput;
  Bytes output;  // kOutput
  Frame frame;   // kFrame
  bool operator==(const Piece&) const = default;
};

// What the host and the fake resident need of a decoder of either protocol
// version: good frames picked out of the byte stream, everything else passed
// on as output, in order.
class Decoder {
 public:
  // Which frames a decoder takes: the host's decoders take answers, the
  // resident's (in the tests' fake) take requests.
  enum class Direction : uint8_t { kAnswers, kRequests };

  Decoder() = default;
  Decoder(const Decoder&) = default;
  Decoder& operator=(const Decoder&) = default;
  virtual ~Decoder() = default;

  // Takes bytes and returns what became certain: output runs and good frames,
  // in stream order; adjacent output is merged into one piece.
  virtual std::vector<Piece> Feed(std::span<const uint8_t> bytes) = 0;
  // Whether bytes are held back as a frame that has begun.
  virtual bool HasPartial() const = 0;
  // Gives up on the frame that has begun: its bytes come out as output (and
  // any frame among them as a frame).
  virtual std::vector<Piece> FlushPartial() = 0;
  // Sets the largest LEN taken as a frame.
  virtual void SetLargestPayload(size_t largest) = 0;
  // Frames that began with a command of the right direction and then failed:
  // damage on the line rather than the program's text, most likely.
  virtual size_t damaged_frames() const = 0;
};

// Picks good frames out of a stream of bytes. Everything else is passed on as
// output, in order: an A5h followed by bytes that do not make a good frame
// (a command of the wrong direction, LEN above the largest payload, a bad
// SUM) is output, and scanning goes on from the byte after it. A frame that
// has begun but is not complete is held back until more bytes come or the
// caller decides it waited long enough (FlushPartial).
class FrameDecoder : public Decoder {
 public:
  // Answers are commands 81h..88h, requests 01h..08h.
  explicit FrameDecoder(Direction direction = Direction::kAnswers, size_t largest_payload = 255);

  // Sets the largest LEN taken as a frame (a longer one is output).
  void SetLargestPayload(size_t largest) override { largest_payload_ = largest; }

  std::vector<Piece> Feed(std::span<const uint8_t> bytes) override;
  bool HasPartial() const override { return !held_.empty(); }
  // Gives up on the frame that has begun: its A5h is output and the bytes
  // after it are scanned again (they may hold another frame's start).
  std::vector<Piece> FlushPartial() override;

  // How many times an A5h with a command of the right direction led to a
  // frame that failed (bad LEN or SUM).
  size_t damaged_frames() const override { return damaged_; }

 private:
  bool IsCommand(uint8_t byte) const;
  // Scans held_ as far as it can, appending to pieces.
  void Scan(std::vector<Piece>& pieces);

  Direction direction_;
  size_t largest_payload_;
  Bytes held_;  // from an A5h on, not yet decided
  size_t damaged_ = 0;
};

// The identify answer's payload.
struct IdentifyInfo {
  uint8_t protocol = 0;
  uint8_t major = 0, minor = 0, patch = 0;
  uint8_t page = 0;
  uint32_t clock_hz = 0;
  uint32_t baud = 0;
  uint8_t largest_payload = 0;
  uint16_t commands = 0;  // bit n: command n offered

  bool Offers(uint8_t command) const { return command < 16 && (commands >> command) & 1u; }
  bool operator==(const IdentifyInfo&) const = default;
};

// Parses the identify payload (kIdentifyLength bytes, laid out as
// resident/facts.txt says); nullopt for another length.
std::optional<IdentifyInfo> ParseIdentify(std::span<const uint8_t> payload);
Bytes EncodeIdentifyPayload(const IdentifyInfo& info);

// A request as a resident sees it, checked against the protocol's rules.
struct Request {
  uint8_t command = 0;
  Space space = Space::kCode;
  uint16_t address = 0;
  uint8_t count = 0;  // reads
  Bytes data;         // writes
};
// Parses a good request frame of either version (the frame's seq is part of
// ACHK); nullopt when the resident must drop it (unknown command, LEN that
// does not fit, bad ACHK, count 0 or beyond largest_payload, an sfr address
// below 80h or past FFh).
std::optional<Request> ParseRequest(const Frame& frame, size_t largest_payload = 255);

}  // namespace tarlek::protocol
