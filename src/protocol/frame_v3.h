// The framed serial protocol, version 3, between the host and the resident.
// Every request and every answer is
//   C0h, then escaped:  CMD SEQ LEN BODY[LEN] SUM
// where CMD + SEQ + LEN + BODY + SUM == 0 (mod 256), and every byte after C0h
// is escaped (C0h -> DBh DCh, DBh -> DBh DDh), so a C0h always begins a new
// frame. A request's CMD is 01h..7Fh; its answer carries CMD | 80h and the
// request's SEQ, which the host chooses anew for every attempt. Command codes,
// bodies and the identify layout are protocol 2's (frame.h), with ACHK of a
// write summing SEQ too. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/frame.h"

namespace tarlek::protocol::v3 {

// The version and the framing bytes, as the resident has them
// (resident/facts.txt).
constexpr uint8_t kProtocolVersion = resident::kProtocolVersion;
constexpr uint8_t kFrameStart = resident::kFrameStart;
constexpr uint8_t kEscape = resident::kFrameEscape;
constexpr uint8_t kEscapedStart = resident::kFrameEscapedStart;    // DBh DCh stands for C0h
constexpr uint8_t kEscapedEscape = resident::kFrameEscapedEscape;  // DBh DDh stands for DBh
// The frame's unescaped_ bytes besides its body: CMD, SEQ, LEN, SUM.
constexpr size_t kFrameOverhead = 4;

// Machine cycles (12 clock periods) a protocol 3 resident takes for a data
// byte of a write of internal RAM or SFRs at its dearest (its own bytes, the
// program's R0 and the kept bits looked at), as counted in resident/README.md.
// Where a byte on the line is shorter, a second data byte sent back to back
// comes before the first was taken, and the write is lost.
constexpr uint32_t kSlowWriteByteCycles = 138;

// Whether a resident with this crystal and rate takes such data bytes as
// fast as the line brings them: a byte is 10 bits, a machine cycle 12 clock
// periods.
constexpr bool KeepsUpWithSlowWrites(uint32_t clock_hz, uint32_t baud) {
  return uint64_t{clock_hz} * 10 >= uint64_t{kSlowWriteByteCycles} * 12 * baud;
}

// The most line bytes a frame with this body takes: C0h and every other byte
// escaped.
constexpr size_t LongestOnLine(size_t body) { return 1 + 2 * (body + kFrameOverhead); }

// A whole frame, escaped, starting with C0h. The body is at most 255 bytes.
Bytes EncodeFrame(uint8_t command, uint8_t seq, std::span<const uint8_t> body);

// Requests; count 1..255, kept by the caller within the resident's largest
// payload and the space.
Bytes EncodeIdentify(uint8_t seq);
Bytes EncodeRead(Space space, uint16_t address, uint8_t count, uint8_t seq);
Bytes EncodeWrite(Space space, uint16_t address, std::span<const uint8_t> data, uint8_t seq);

// An answer frame (command | 80h, the request's seq), as a resident sends it.
Bytes EncodeAnswer(uint8_t request_command, uint8_t seq, std::span<const uint8_t> body);

// Whether the identify of this seq holds no A5h on the line, so that a
// protocol 2 resident ignores it (the way a host finds the version: this
// identify, then protocol 2's).
bool IdentifyFitsVersionProbe(uint8_t seq);

// Picks good frames out of the byte stream. Bytes outside frames are output;
// so are the line bytes of a frame that fails (a command of the wrong
// direction, LEN above the largest payload, a DBh followed by anything but
// DCh or DDh, a bad SUM, a C0h before its end), as they came. A frame begun
// but not complete is held back until more bytes come or FlushPartial.
class FrameDecoder : public Decoder {
 public:
  // Answers are CMD 80h..FFh, requests 01h..7Fh.
  explicit FrameDecoder(Direction direction = Direction::kAnswers, size_t largest_payload = 255);

  void SetLargestPayload(size_t largest) override { largest_payload_ = largest; }
  std::vector<Piece> Feed(std::span<const uint8_t> bytes) override;
  bool HasPartial() const override { return !raw_.empty(); }
  std::vector<Piece> FlushPartial() override;
  size_t damaged_frames() const override { return damaged_; }

 private:
  bool IsCommand(uint8_t byte) const;
  void Take(uint8_t byte, std::vector<Piece>& pieces);
  // Ends the frame in progress: its line bytes become output.
  void Drop(std::vector<Piece>& pieces);

  Direction direction_;
  size_t largest_payload_;
  Bytes raw_;        // the frame's line bytes from its C0h on
  Bytes unescaped_;  // CMD SEQ LEN BODY so far
  bool escape_ = false;
  size_t damaged_ = 0;
};

}  // namespace tarlek::protocol::v3
