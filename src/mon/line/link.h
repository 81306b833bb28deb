// Exchanges with the resident over a port: one request, one answer, picked
// out of the byte stream by the frame decoder while the program's own output
// goes to a sink. Every exchange has a time-out from the baud rate and the
// lengths involved, and a bounded number of retries, each after the line has
// been quiet long enough for the resident to have dropped what it had.
//
// The link speaks protocol 3 and protocol 2: the first identify finds which
// (a protocol 3 identify that a protocol 2 resident ignores, then protocol
// 2's). In protocol 3 every attempt carries a SEQ of its own and only an
// answer naming it is taken. Protocol 2's answers name nothing, so after an
// exchange that needed a retry the link waits until no answer has come for a
// whole time-out before the next request: the answer to an earlier attempt is
// never taken for a later request's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mon/line/address.h"
#include "mon/line/port.h"
#include "protocol/frame.h"
#include "protocol/frame_v3.h"

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
  // The SEQ of the first protocol 3 attempt; from the clock when unset.
  std::optional<uint8_t> first_seq;
};

class Link {
 public:
  Link(Port& port, LinkSettings settings);

  // The time one character takes on the line.
  std::chrono::nanoseconds CharacterTime() const;
  // How long an exchange may take before it counts as lost: request_bytes on
  // the line and an answer of answer_payload bytes (escaped at worst in
  // protocol 3).
  Clock::duration Timeout(size_t request_bytes, size_t answer_payload) const;

  // Identify; the first call finds the protocol version. Checks the answer's
  // fields (a protocol it does not speak, a largest payload too small to
  // work with, nonsense) and throws a Failure in one line. Remembers the
  // largest payload for the chunks of later reads and writes.
  IdentifyInfo Identify();
  // 2 or 3 once an identify has been answered; 0 before.
  int version() const { return version_; }

  // count bytes from address, in chunks of up to the largest payload. The
  // caller keeps the range within the space.
  Bytes Read(Space space, uint32_t address, size_t count, const Progress& progress = {});
  // Writes in chunks (each idempotent, so a retry is safe). A protocol 3
  // resident whose line brings bytes faster than it takes a data byte of a
  // write of internal RAM or SFRs gets those one data byte per request. For
  // an SFR write
  // to a protocol 3 resident, returns one byte per SFR: the bits the resident
  // kept at their old value to keep the link alive (FFh: skipped); empty
  // otherwise.
  Bytes Write(Space space, uint32_t address, std::span<const uint8_t> data);

  // Passes the program's output on until deadline.
  void Listen(Clock::time_point deadline);

  size_t largest_payload() const { return largest_payload_; }
  // Counters for the benchmark and tests.
  size_t bytes_sent() const { return bytes_sent_; }
  size_t bytes_received() const { return bytes_received_; }
  size_t retries_done() const { return retries_done_; }
  // Good answer frames that answered no request being waited for (an earlier
  // attempt's, come late): dropped.
  size_t late_answers() const { return late_answers_; }

 private:
  // The answer an attempt waits for, and what ends the wait early.
  struct Wanted {
    uint8_t command = 0;  // with 80h; 0: no answer is wanted, every one is late
    uint8_t seq = 0;      // protocol 3
    size_t length = 0;
    bool at_least = false;        // protocol 3's identify: 16 bytes or more
    bool stop_on_damage = false;  // a damaged frame: this attempt is lost
    bool stop_on_frame = false;   // any answer frame, good or damaged
  };
  // The body of a request for the attempt with this SEQ.
  using BodyOf = std::function<Bytes(uint8_t seq)>;

  Bytes Exchange(uint8_t command, const BodyOf& body, size_t answer_length);
  // Reads until deadline or until want says stop, and hands output to the
  // sink. A frame begun but left incomplete for a gap longer than the
  // resident ever leaves is flushed as output.
  std::optional<Bytes> Pump(Clock::time_point deadline, const Wanted& want);
  void Deliver(const std::vector<protocol::Piece>& pieces, const Wanted& want,
               std::optional<Bytes>& found);
  // The decoder's pieces for bytes from the line. Before the version is
  // known, both decoders read, and their pieces are held until an identify
  // answer of either kind shows which one is right.
  std::vector<protocol::Piece> Decode(std::span<const uint8_t> bytes);
  std::vector<protocol::Piece> Flush();
  std::vector<protocol::Piece> Decided();
  bool HasPartial() const;
  size_t Damaged() const;
  // Protocol 2 after a retry: until no answer has come or begun for a whole
  // time-out.
  void Settle(Clock::duration timeout);
  uint8_t NextSeq(bool probe);
  std::string FailureMessage(uint8_t command, size_t answer_length, int attempts,
                             Clock::duration timeout, int damaged, bool unfit, bool late) const;

  Port& port_;
  LinkSettings settings_;
  int version_ = 0;
  protocol::FrameDecoder decoder2_;
  protocol::v3::FrameDecoder decoder3_;
  protocol::Decoder* decoder_ = nullptr;  // the version's, once known
  std::vector<protocol::Piece> pending2_, pending3_;
  std::vector<uint8_t> probe_seqs_;  // protocol 3 identifies sent while finding the version
  uint8_t seq_ = 0;
  size_t largest_payload_ = protocol::kSmallestLargestPayload;
  // The resident's crystal and rate, from identify.
  uint32_t clock_hz_ = 0;
  uint32_t resident_baud_ = 0;
  Clock::time_point last_byte_{};
  size_t bytes_sent_ = 0;
  size_t bytes_received_ = 0;
  size_t retries_done_ = 0;
  size_t late_answers_ = 0;
  size_t answer_frames_ = 0;
  // Good frames that fit no request: protocol 3's with the attempt's SEQ but
  // another command or length; protocol 2's of another command or length.
  size_t unfit_answers_ = 0;
  uint8_t unfit_command_ = 0;
  size_t unfit_length_ = 0;
};

}  // namespace tarlek::mon
