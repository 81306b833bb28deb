#include "mon/fake_resident.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace tarlek::testing {

using protocol::Space;

FakeResident::FakeResident(int fd, uint8_t largest_payload, uint32_t baud) : fd_(fd), baud_(baud) {
  if (::pipe(stop_pipe_) != 0) throw std::runtime_error("pipe failed");
  info.protocol = protocol::kProtocolVersion;
  info.major = 1;
  info.page = 0x80;
  info.clock_hz = 11059200;
  info.baud = baud;
  info.largest_payload = largest_payload;
  info.commands = 0x01FE;
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

void FakeResident::SetChatter(Bytes before, Bytes after) {
  std::lock_guard lock(mutex_);
  before_ = std::move(before);
  after_ = std::move(after);
}

void FakeResident::Start() {
  thread_ = std::thread([this] { Loop(); });
}

void FakeResident::Stop() {
  if (!thread_.joinable()) return;
  const char byte = 0;
  (void)!::write(stop_pipe_[1], &byte, 1);
  thread_.join();
}

Fault FakeResident::NextFault() {
  std::lock_guard lock(mutex_);
  if (script_.empty()) return always_;
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
  for (size_t at = 0; at < bytes.size();) {
    if (paced_) {
      line_free_ += CharacterTime();
      std::this_thread::sleep_until(line_free_);
    }
    // One byte at a time when paced, so the line time is real.
    const size_t n = paced_ ? 1 : bytes.size() - at;
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

void FakeResident::Handle(const protocol::Request& request, size_t request_bytes) {
  ++requests_;
  if (paced_) {
    // The request took its line time to come in: the answer cannot start
    // before that.
    line_free_ = std::max(line_free_, std::chrono::steady_clock::now()) +
                 CharacterTime() * static_cast<long>(request_bytes);
  }
  Bytes payload;
  if (request.command == protocol::kIdentify) {
    payload = protocol::EncodeIdentifyPayload(info);
  } else if (!request.data.empty()) {
    auto& memory = Memory(request.space);
    for (size_t i = 0; i < request.data.size(); ++i) {
      memory[(request.address + i) % memory.size()] = request.data[i];
    }
  } else {
    const auto& memory = Memory(request.space);
    for (size_t i = 0; i < request.count; ++i) {
      payload.push_back(memory[(request.address + i) % memory.size()]);
    }
  }
  Bytes answer = protocol::EncodeAnswer(request.command, payload);
  Bytes before, after;
  {
    std::lock_guard lock(mutex_);
    before = before_;
    after = after_;
  }
  switch (NextFault()) {
    case Fault::kNone:
      break;
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
  }
  Send(before);
  Send(answer);
  Send(after);
  if (hook_) hook_(request.command);
}

void FakeResident::Loop() {
  protocol::FrameDecoder decoder(protocol::FrameDecoder::Direction::kRequests,
                                 info.largest_payload);
  uint8_t buffer[512];
  while (!closed_) {
    pollfd pfds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    // A request whose bytes stop coming is dropped, as the resident does.
    const int n = ::poll(pfds, 2, decoder.HasPartial() ? 50 : -1);
    if (n < 0) continue;
    if (pfds[1].revents) return;
    if (n == 0) {
      decoder.FlushPartial();
      continue;
    }
    if (pfds[0].revents & (POLLHUP | POLLERR | POLLNVAL) && !(pfds[0].revents & POLLIN)) return;
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EAGAIN) continue;
      return;
    }
    for (const auto& piece : decoder.Feed(std::span(buffer, static_cast<size_t>(got)))) {
      if (piece.kind != protocol::Piece::kFrame) continue;
      const auto request = protocol::ParseRequest(piece.frame, info.largest_payload);
      if (request) Handle(*request, piece.frame.payload.size() + protocol::kFrameOverhead);
      if (closed_) return;
    }
  }
}

}  // namespace tarlek::testing
