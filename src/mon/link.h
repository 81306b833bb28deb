// Exchanges with the resident over a port: one request, one answer, picked
// out of the byte stream by the frame decoder while the program's own output
// goes to a sink. Every exchange has a time-out from the baud rate and the
// lengths involved, and a bounded number of retries, each after the line has
// been quiet long enough for the resident to have dropped what it had.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "mon/address.h"
#include "mon/port.h"
#include "protocol/frame.h"

namespace tarlek::mon {

using protocol::Bytes;
using protocol::IdentifyInfo;

using OutputSink = std::function<void(std::span<const uint8_t>)>;
// Called after each chunk of a long read with the bytes done so far.
using Progress = std::function<void(size_t done)>;

struct LinkSettings {
  uint32_t baud = 9600;
  int retries = 2;  // further attempts after the first
  // Room for an answer beyond three times its line time.
  std::chrono::milliseconds slack{200};
  // Where the program's output goes; nothing when empty.
  OutputSink output;
};

class Link {
 public:
  Link(Port& port, LinkSettings settings);

  // The time one character takes on the line.
  std::chrono::nanoseconds CharacterTime() const;
  // How long an exchange of these lengths may take before it counts as lost.
  Clock::duration Timeout(size_t request_bytes, size_t answer_payload) const;

  // Sends request and returns the payload of the first good answer with
  // command | 80h and answer_length bytes. Throws a Failure after the
  // retries.
  Bytes Exchange(const Bytes& request, uint8_t command, size_t answer_length);

  // Identify; remembers the largest payload for the chunks of later reads.
  IdentifyInfo Identify();
  // count bytes from address, in chunks of up to the largest payload. The
  // caller keeps the range within the space.
  Bytes Read(Space space, uint32_t address, size_t count, const Progress& progress = {});
  // Writes in chunks (each idempotent, so a retry is safe).
  void Write(Space space, uint32_t address, std::span<const uint8_t> data);

  // Passes the program's output on until deadline.
  void Listen(Clock::time_point deadline);

  size_t largest_payload() const { return largest_payload_; }
  // Counters for the benchmark and tests.
  size_t bytes_sent() const { return bytes_sent_; }
  size_t bytes_received() const { return bytes_received_; }
  size_t retries_done() const { return retries_done_; }

 private:
  // Reads until deadline (or the first good frame, when want is set) and
  // hands output to the sink. A frame begun but left incomplete for a gap
  // longer than the resident ever leaves is flushed as output.
  std::optional<Bytes> Pump(Clock::time_point deadline, uint8_t want, size_t want_length,
                            bool stop_on_damage);
  void Deliver(const std::vector<protocol::Piece>& pieces, uint8_t want, size_t want_length,
               std::optional<Bytes>& found);
  std::string NoAnswerMessage(Clock::duration waited) const;

  Port& port_;
  LinkSettings settings_;
  protocol::FrameDecoder decoder_;
  size_t largest_payload_ = protocol::kSmallestLargestPayload;
  Clock::time_point last_byte_{};
  size_t bytes_sent_ = 0;
  size_t bytes_received_ = 0;
  size_t retries_done_ = 0;
};

}  // namespace tarlek::mon
