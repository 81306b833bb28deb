// A scripted resident for tests: answers protocol 2 requests from its own
// memory on one end of a socket pair or a pseudo-terminal's master, built
// from the same frame codec as the client, with faults injected request by
// request. Runs in a thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"

namespace tarlek::testing {

using protocol::Bytes;

enum class Fault {
  kNone,      // answer as the resident does
  kSilent,    // drop the request: no answer
  kBadSum,    // answer with a wrong checksum
  kCutShort,  // send the first half of the answer, then nothing
  kClose,     // close the line (the adapter pulled out)
};

class FakeResident {
 public:
  // fd: the resident's end; closed by the fake. largest: its largest payload.
  explicit FakeResident(int fd, uint8_t largest_payload = 255, uint32_t baud = 9600);
  ~FakeResident();
  FakeResident(const FakeResident&) = delete;
  FakeResident& operator=(const FakeResident&) = delete;

  // Faults for the next requests, in order; afterwards it answers normally.
  void Script(std::vector<Fault> faults);
  // Every answer from now on gets the fault.
  void AlwaysFault(Fault fault);
  // The program's own output, sent before and after each answer frame.
  void SetChatter(Bytes before, Bytes after);
  // Paces what it sends at the baud rate (10 bits a byte), as a line would.
  void SetPaced(bool paced) { paced_ = paced; }
  // Called after each answer is sent, with the request's command.
  void OnAnswered(std::function<void(uint8_t)> hook) { hook_ = std::move(hook); }
  void SendOutput(const Bytes& bytes);

  void Start();
  void Stop();

  std::vector<uint8_t> code = std::vector<uint8_t>(0x10000);
  std::vector<uint8_t> xram = std::vector<uint8_t>(0x10000);
  std::vector<uint8_t> iram = std::vector<uint8_t>(0x100);
  std::vector<uint8_t> sfr = std::vector<uint8_t>(0x100);
  protocol::IdentifyInfo info;

  // Good requests taken (dropped ones included once parsed).
  size_t requests() const { return requests_.load(); }
  // Bytes sent on the line.
  size_t bytes_sent() const { return sent_.load(); }

 private:
  void Loop();
  void Handle(const protocol::Request& request, size_t request_bytes);
  std::chrono::nanoseconds CharacterTime() const;
  void Send(const Bytes& bytes);
  Fault NextFault();
  std::vector<uint8_t>& Memory(protocol::Space space);

  int fd_;
  int stop_pipe_[2];
  uint32_t baud_;
  bool paced_ = false;
  std::chrono::steady_clock::time_point line_free_{};
  std::thread thread_;
  std::mutex mutex_;
  std::deque<Fault> script_;
  Fault always_ = Fault::kNone;
  Bytes before_, after_;
  std::function<void(uint8_t)> hook_;
  std::atomic<size_t> requests_{0};
  std::atomic<size_t> sent_{0};
  bool closed_ = false;
};

}  // namespace tarlek::testing
