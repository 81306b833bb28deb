#include "mon/support/fake_resident.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "base/resident_facts.h"
#include "protocol/frame_v3.h"

namespace tarlek::testing {

using protocol::Space;

namespace {

// The bits of an SFR that the resident keeps for its link (FFh: the write is
// skipped), as a protocol 3 resident of the timer 1 build answers them. ACC
// and PSW, which the resident writes through routines, are plain memory here.
uint8_t LinkBits(uint8_t address) {
  for (const auto& sfr : resident::kSfrs) {
    if (sfr.address == address && (sfr.timer == 0 || sfr.timer == 1)) return sfr.kept;
  }
  return 0;
}

}  // namespace

FakeResident::FakeResident(int fd, uint8_t largest_payload, uint32_t baud, int version)
    : fd_(fd), baud_(baud), version_(version) {
  if (::pipe(stop_pipe_) != 0) throw std::runtime_error("pipe failed");
  info.protocol = static_cast<uint8_t>(version);
  info.major = 1;
  info.page = 0x80;
  info.clock_hz = 11059200;
  info.baud = baud;
  info.largest_payload = largest_payload;
  info.commands = resident::kCommandsOffered;
  sfr[resident::kSfrSp] = 0x07;  // SP after reset
}

FakeResident::~FakeResident() {
  Stop();
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
  if (!closed_) ::close(fd_);
}

void FakeResident::Script(std::vector<Fault> faults) {
  std::lock_guard lock(mutex_);
  script_.assign(faults.begin(), faults.end());
}

void FakeResident::AlwaysFault(Fault fault) {
  std::lock_guard lock(mutex_);
  always_ = fault;
}

void FakeResident::FaultCommand(uint8_t command, Fault fault) {
  std::lock_guard lock(mutex_);
  command_faults_[command] = fault;
}

void FakeResident::SetChatter(Bytes before, Bytes after) {
  std::lock_guard lock(mutex_);
  before_ = std::move(before);
  after_ = std::move(after);
}

bool FakeResident::WaitForRequests(size_t n, std::optional<uint8_t> command,
                                   std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return taken_.wait_for(
      lock, limit, [&] { return (command ? requests_of_[*command] : requests_.load()) >= n; });
}

void FakeResident::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Loop(); });
}

void FakeResident::Stop() {
  if (!thread_.joinable()) return;
  const char byte = 0;
  (void)!::write(stop_pipe_[1], &byte, 1);
  thread_.join();
}

Fault FakeResident::NextFault(uint8_t command) {
  std::lock_guard lock(mutex_);
  if (script_.empty()) {
    const auto it = command_faults_.find(command);
    return it == command_faults_.end() ? always_ : it->second;
  }
  const Fault fault = script_.front();
  script_.pop_front();
  return fault;
}

std::vector<uint8_t>& FakeResident::Memory(Space space) {
  switch (space) {
    case Space::kCode:
      return code;
    case Space::kXram:
      return xram;
    case Space::kIram:
      return iram;
    case Space::kSfr:
      return sfr;
  }
  return code;
}

void FakeResident::Send(const Bytes& bytes) {
  // Back to back from when the line is free: 10 bits a byte, on a schedule
  // that a late wake-up does not push back.
  line_free_ = std::max(line_free_, std::chrono::steady_clock::now());
  const bool by_byte = pacing_ == Pacing::kBytes;
  if (pacing_ == Pacing::kWholeAnswers) {
    line_free_ += CharacterTime() * static_cast<long>(bytes.size());
    std::this_thread::sleep_until(line_free_);
  }
  for (size_t at = 0; at < bytes.size();) {
    if (by_byte) {
      line_free_ += CharacterTime();
      std::this_thread::sleep_until(line_free_);
    }
    // Byte by byte when so paced, so that the line time is real.
    const size_t n = by_byte ? 1 : bytes.size() - at;
    const ssize_t written = ::write(fd_, bytes.data() + at, n);
    if (written <= 0) {
      pollfd pfd{fd_, POLLOUT, 0};
      if (::poll(&pfd, 1, 1000) <= 0 || (pfd.revents & (POLLERR | POLLHUP))) return;
      continue;
    }
    at += static_cast<size_t>(written);
    sent_ += static_cast<size_t>(written);
  }
}

std::chrono::nanoseconds FakeResident::CharacterTime() const {
  return std::chrono::nanoseconds(10'000'000'000LL / baud_);
}

void FakeResident::SendOutput(const Bytes& bytes) { Send(bytes); }

Bytes FakeResident::Store(const protocol::Request& request) {
  auto& memory = Memory(request.space);
  const bool masks = version_ == 3 && request.space == Space::kSfr;
  Bytes kept(masks ? request.data.size() : 0);
  if (ignore_writes_) return kept;
  const uint8_t sp = sfr[resident::kSfrSp];
  for (size_t i = 0; i < request.data.size(); ++i) {
    const size_t address = (request.address + i) % memory.size();
    const uint8_t asked = request.data[i];
    uint8_t& cell = memory[address];
    if (request.space == Space::kIram && static_cast<uint8_t>(address - sp - 1) < StackBytes()) {
      continue;  // the resident's own stack
    }
    if (request.space != Space::kSfr) {
      cell = asked;
      continue;
    }
    const uint8_t link = LinkBits(static_cast<uint8_t>(address));
    if (link == 0xFF) {
      if (masks) kept[i] = 0xFF;
    } else if (version_ == 2) {
      cell = address == resident::kSfrIe ? static_cast<uint8_t>(asked | resident::kIeEs) : asked;
    } else {
      kept[i] = link;
      cell = static_cast<uint8_t>((cell & link) | (asked & ~link));
    }
  }
  return kept;
}

void FakeResident::Handle(const protocol::Request& request, uint8_t seq, size_t request_bytes) {
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    ++requests_of_[request.command];
  }
  taken_.notify_all();
  for (auto& held : held_) --held.first;
  while (!held_.empty() && held_.front().first == 0) {
    Send(held_.front().second);
    held_.pop_front();
  }
  // A command not offered is dropped, as an unknown one is.
  if (request.command != protocol::kIdentify && !info.Offers(request.command)) return;
  if (pacing_ != Pacing::kNone) {
    // The request took its line time to come in: the answer cannot start
    // before that.
    line_free_ = std::max(line_free_, std::chrono::steady_clock::now()) +
                 CharacterTime() * static_cast<long>(request_bytes);
  }
  Bytes payload;
  if (request.command == protocol::kIdentify) {
    payload = protocol::EncodeIdentifyPayload(info);
    if (version_ == 3) payload.insert(payload.end(), identify_tail.begin(), identify_tail.end());
  } else if (!request.data.empty()) {
    payload = Store(request);
  } else {
    const auto& memory = Memory(request.space);
    for (size_t i = 0; i < request.count; ++i) {
      payload.push_back(memory[(request.address + i) % memory.size()]);
    }
  }
  uint8_t command = request.command;
  const Fault fault = NextFault(request.command);
  if (fault == Fault::kWrongCommand) command = static_cast<uint8_t>(command % 8 + 1);
  if (fault == Fault::kWrongLength) {
    if (payload.empty()) {
      payload.push_back(0);
    } else {
      payload.pop_back();
    }
  }
  if (fault == Fault::kWrongSeq) ++seq;
  Bytes answer = version_ == 3 ? protocol::v3::EncodeAnswer(command, seq, payload)
                               : protocol::EncodeAnswer(command, payload);
  Bytes before, after;
  {
    std::lock_guard lock(mutex_);
    before = before_;
    after = after_;
  }
  switch (fault) {
    case Fault::kSilent:
      return;
    case Fault::kBadSum:
      answer.back() ^= 0x5A;
      break;
    case Fault::kCutShort:
      answer.resize(answer.size() / 2);
      break;
    case Fault::kClose:
      ::close(fd_);
      closed_ = true;
      return;
    case Fault::kLate: {
      Bytes late = before;
      late.insert(late.end(), answer.begin(), answer.end());
      late.insert(late.end(), after.begin(), after.end());
      held_.emplace_back(late_after_, std::move(late));
      return;
    }
    default:
      break;
  }
  // In one piece, as a line delivers it: the program's text after the last
  // answer is there when the answer is, not a race against the client's exit.
  Bytes all = std::move(before);
  all.insert(all.end(), answer.begin(), answer.end());
  all.insert(all.end(), after.begin(), after.end());
  Send(all);
  if (hook_) hook_(request.command);
}

void FakeResident::Loop() {
  std::unique_ptr<protocol::Decoder> decoder;
  if (version_ == 3) {
    decoder = std::make_unique<protocol::v3::FrameDecoder>(
        protocol::v3::FrameDecoder::Direction::kRequests, info.largest_payload);
  } else {
    decoder = std::make_unique<protocol::FrameDecoder>(protocol::FrameDecoder::Direction::kRequests,
                                                       info.largest_payload);
  }
  const size_t overhead =
      version_ == 3 ? 1 + protocol::v3::kFrameOverhead : protocol::kFrameOverhead;
  uint8_t buffer[512];
  while (!closed_) {
    pollfd pfds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    // A request whose bytes stop coming is dropped, as the resident does.
    const int n = ::poll(pfds, 2, decoder->HasPartial() ? 50 : -1);
    if (n < 0) continue;
    if (pfds[1].revents) return;
    if (n == 0) {
      decoder->FlushPartial();
      continue;
    }
    if (pfds[0].revents & (POLLHUP | POLLERR | POLLNVAL) && !(pfds[0].revents & POLLIN)) return;
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EAGAIN) continue;
      return;
    }
    {
      std::lock_guard lock(mutex_);
      received_.insert(received_.end(), buffer, buffer + got);
    }
    for (const auto& piece : decoder->Feed(std::span(buffer, static_cast<size_t>(got)))) {
      if (piece.kind != protocol::Piece::kFrame) continue;
      const auto request = protocol::ParseRequest(piece.frame, info.largest_payload);
      if (request) Handle(*request, piece.frame.seq, piece.frame.payload.size() + overhead);
      if (closed_) return;
    }
  }
}

}  // namespace tarlek::testing
