// A scripted resident for tests: answers protocol 3 or protocol 2 requests
// from its own memory on one end of a socket pair or a pseudo-terminal's
// master, built from the same frame codecs as the client, with faults
// injected request by request. Runs in a thread of its own.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/address_space.h"
#include "base/resident_facts.h"
#include "protocol/frame.h"

namespace tarlek::testing {

using protocol::Bytes;

enum class Fault {
  kNone,          // answer as the resident does
  kSilent,        // drop the request: no answer
  kBadSum,        // answer with a wrong checksum
  kCutShort,      // send the first half of the answer, then nothing
  kClose,         // close the line (the adapter pulled out)
  kLate,          // hold the answer back until late_after more requests come in
  kWrongCommand,  // a good frame with another command
  kWrongLength,   // a good frame with one byte more or less
  kWrongSeq,      // protocol 3: a good frame naming another attempt
};

// How what the resident sends goes onto the line.
enum class Pacing {
  kNone,   // at once
  kBytes,  // byte by byte at the baud rate (10 bits a byte), as a line does
  // Each answer whole once its line time has passed: the line's time without
  // the gaps a busy machine would leave inside an answer sent byte by byte.
  kWholeAnswers,
};

class FakeResident {
 public:
  // fd: the resident's end; closed by the fake. largest: its largest payload.
  // version: the protocol it speaks, 3 or 2.
  explicit FakeResident(int fd, uint8_t largest_payload = 255, uint32_t baud = 9600,
                        int version = 3);
  ~FakeResident();
  FakeResident(const FakeResident&) = delete;
  FakeResident& operator=(const FakeResident&) = delete;

  // Faults for the next requests, in order; afterwards it answers normally.
  void Script(std::vector<Fault> faults);
  // Every answer from now on gets the fault.
  void AlwaysFault(Fault fault);
  // Every answer to the command from now on gets the fault (after the
  // script's faults, before the one for every answer).
  void FaultCommand(uint8_t command, Fault fault);
  // How many requests later a kLate answer goes out: 1, ahead of the next
  // request's answer (answers stay in order); 2, after the next one's.
  void SetLateAfter(size_t requests) { late_after_ = requests; }
  // The program's own output, sent before and after each answer frame.
  void SetChatter(Bytes before, Bytes after);
  // Paces what it sends at the baud rate; at once unless asked.
  void SetPacing(Pacing pacing) { pacing_ = pacing; }
  // Answers writes without writing anything (a resident in ROM, say).
  void IgnoreWrites(bool ignore) { ignore_writes_ = ignore; }
  // Called after each answer is sent, with the request's command.
  void OnAnswered(std::function<void(uint8_t)> hook) { hook_ = std::move(hook); }
  void SendOutput(const Bytes& bytes);
  // Waits until n requests (of the command, when one is named) have been
  // taken, at most limit; whether they were.
  bool WaitForRequests(size_t n, std::optional<uint8_t> command = std::nullopt,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Answers in a thread of its own from now on (a second call does nothing);
  // Stop ends that thread.
  void Start();
  void Stop();

  std::vector<uint8_t> code = std::vector<uint8_t>(kAddressSpaceSize);
  std::vector<uint8_t> xram = std::vector<uint8_t>(kAddressSpaceSize);
  std::vector<uint8_t> iram = std::vector<uint8_t>(0x100);
  std::vector<uint8_t> sfr = std::vector<uint8_t>(0x100);
  protocol::IdentifyInfo info;
  // Sent after identify's 16 bytes (protocol 3 lets an answer carry more).
  Bytes identify_tail;

  // As the resident does: SP (81h) is the program's stack pointer, the bytes
  // above it the resident's own stack while it answers (16 in protocol 2, 11
  // in protocol 3); writes there, to SP and to SBUF are skipped. In protocol
  // 3 the bits that keep the link alive (IE's EA and ES, TCON's TR1, SCON's
  // mode, REN, TB8, TI and RI, PCON's SMOD) keep their old value and the
  // answer names them; protocol 2 keeps IE's ES set.
  uint8_t StackBytes() const { return version_ == 3 ? resident::kStackBytes : 16; }

  // Good requests taken (dropped ones included once parsed).
  size_t requests() const { return requests_.load(); }
  // Good requests of the command taken.
  size_t requests(uint8_t command) {
    std::lock_guard lock(mutex_);
    return requests_of_[command];
  }
  // Bytes sent on the line.
  size_t bytes_sent() const { return sent_.load(); }
  // Every byte that came in, in order.
  Bytes received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Loop();
  void Handle(const protocol::Request& request, uint8_t seq, size_t request_bytes);
  // Writes data at address as the resident does; returns the answer's body.
  Bytes Store(const protocol::Request& request);
  std::chrono::nanoseconds CharacterTime() const;
  void Send(const Bytes& bytes);
  Fault NextFault(uint8_t command);
  std::vector<uint8_t>& Memory(protocol::Space space);

  int fd_;
  int stop_pipe_[2];
  uint32_t baud_;
  int version_;
  Pacing pacing_ = Pacing::kNone;
  bool ignore_writes_ = false;
  size_t late_after_ = 1;
  // kLate answers with the requests still to come before each goes out.
  std::deque<std::pair<size_t, Bytes>> held_;
  std::chrono::steady_clock::time_point line_free_{};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable taken_;
  std::deque<Fault> script_;
  Fault always_ = Fault::kNone;
  std::map<uint8_t, Fault> command_faults_;
  Bytes before_, after_;
  Bytes received_;
  std::function<void(uint8_t)> hook_;
  std::atomic<size_t> requests_{0};
  std::array<size_t, 256> requests_of_{};
  std::atomic<size_t> sent_{0};
  bool closed_ = false;
};

}  // namespace tarlek::testing
