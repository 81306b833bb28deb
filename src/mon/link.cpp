#include "mon/link.h"

#include <fmt/format.h>

#include <algorithm>

#include "mon/failure.h"

namespace tarlek::mon {

using namespace std::chrono_literals;

Link::Link(Port& port, LinkSettings settings)
    : port_(port),
      settings_(std::move(settings)),
      decoder_(protocol::FrameDecoder::Direction::kAnswers, 255) {}

std::chrono::nanoseconds Link::CharacterTime() const {
  return std::chrono::nanoseconds(10'000'000'000LL / std::max<uint32_t>(settings_.baud, 1));
}

Clock::duration Link::Timeout(size_t request_bytes, size_t answer_payload) const {
  // Three times the line time of request and answer, plus room for the
  // program's output ahead of the answer and for scheduling on the host
  // (the slack, 200 ms unless asked otherwise).
  const size_t characters = request_bytes + answer_payload + protocol::kFrameOverhead;
  return settings_.slack + 3 * static_cast<long>(characters) * CharacterTime();
}

namespace {

// A frame that has begun and then stays incomplete this long was cut short:
// the resident sends its frames without pauses.
Clock::duration PartialGap(std::chrono::nanoseconds character) { return 100ms + 10 * character; }

}  // namespace

void Link::Deliver(const std::vector<protocol::Piece>& pieces, uint8_t want, size_t want_length,
                   std::optional<Bytes>& found) {
  for (const auto& piece : pieces) {
    if (piece.kind == protocol::Piece::kOutput) {
      if (settings_.output) settings_.output(piece.output);
    } else if (!found && want != 0 && piece.frame.command == want &&
               piece.frame.payload.size() == want_length) {
      found = piece.frame.payload;
    }
    // Any other good frame is a late answer to an earlier attempt: dropped.
  }
}

std::optional<Bytes> Link::Pump(Clock::time_point deadline, uint8_t want, size_t want_length,
                                bool stop_on_damage) {
  uint8_t buffer[1024];
  const size_t damaged_before = decoder_.damaged_frames();
  const auto gap = PartialGap(CharacterTime());
  std::optional<Bytes> found;
  for (;;) {
    Clock::time_point wake = deadline;
    if (decoder_.HasPartial()) wake = std::min(deadline, last_byte_ + gap);
    const size_t n = port_.Read(buffer, wake);
    const auto now = Clock::now();
    if (n > 0) {
      last_byte_ = now;
      bytes_received_ += n;
      Deliver(decoder_.Feed(std::span(buffer, n)), want, want_length, found);
    } else if (decoder_.HasPartial() && now >= last_byte_ + gap) {
      Deliver(decoder_.FlushPartial(), want, want_length, found);
    }
    if (found) return found;
    if (stop_on_damage && decoder_.damaged_frames() != damaged_before) return std::nullopt;
    if (n == 0 && now >= deadline) return std::nullopt;
  }
}

Bytes Link::Exchange(const Bytes& request, uint8_t command, size_t answer_length) {
  const auto start = Clock::now();
  const auto timeout = Timeout(request.size(), answer_length);
  const size_t damaged_before = decoder_.damaged_frames();
  const auto quiet = PartialGap(CharacterTime()) + 10 * CharacterTime();
  for (int attempt = 0; attempt <= settings_.retries; ++attempt) {
    if (attempt > 0) {
      ++retries_done_;
      // Resynchronise: wait until the line has been quiet long enough for the
      // resident to have dropped a request it was still taking and for a late
      // answer to have come and gone.
      const auto cap = Clock::now() + timeout;
      for (;;) {
        const size_t before = bytes_received_;
        Pump(std::min(Clock::now() + quiet, cap), 0, 0, false);
        if (bytes_received_ == before || Clock::now() >= cap) break;
      }
      std::optional<Bytes> none;
      Deliver(decoder_.FlushPartial(), 0, 0, none);
    }
    port_.Write(request, Clock::now() + timeout);
    bytes_sent_ += request.size();
    if (auto payload = Pump(Clock::now() + timeout, static_cast<uint8_t>(command | 0x80),
                            answer_length, true)) {
      return *payload;
    }
  }
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  if (decoder_.damaged_frames() != damaged_before) {
    throw Failure(kExitFailure,
                  fmt::format("damaged answers from the resident on {} at {} baud, {} attempts in "
                              "{:.1f} s: check the baud rate and the line",
                              port_.name(), settings_.baud, settings_.retries + 1, waited));
  }
  throw Failure(kExitFailure,
                fmt::format("no answer from the resident on {} at {} baud within {:.1f} s: is the "
                            "program running, and was it merged with the resident?",
                            port_.name(), settings_.baud, waited));
}

IdentifyInfo Link::Identify() {
  const Bytes payload =
      Exchange(protocol::EncodeIdentify(), protocol::kIdentify, protocol::kIdentifyLength);
  const auto info = protocol::ParseIdentify(payload);
  // The length was checked by the exchange.
  largest_payload_ = std::max<size_t>(info->largest_payload, 1);
  decoder_.SetLargestPayload(std::max(largest_payload_, protocol::kIdentifyLength));
  return *info;
}

Bytes Link::Read(Space space, uint32_t address, size_t count, const Progress& progress) {
  Bytes out;
  out.reserve(count);
  const size_t chunk_limit = std::min<size_t>(largest_payload_, 255);
  while (out.size() < count) {
    const size_t n = std::min(chunk_limit, count - out.size());
    const auto at = static_cast<uint16_t>(address + out.size());
    const Bytes part = Exchange(protocol::EncodeRead(space, at, static_cast<uint8_t>(n)),
                                protocol::ReadCommand(space), n);
    out.insert(out.end(), part.begin(), part.end());
    if (progress) progress(out.size());
  }
  return out;
}

void Link::Write(Space space, uint32_t address, std::span<const uint8_t> data) {
  const size_t chunk_limit =
      std::min<size_t>(largest_payload_, 255) - protocol::AddressWidth(space) - 1;
  for (size_t done = 0; done < data.size();) {
    const size_t n = std::min(chunk_limit, data.size() - done);
    const auto at = static_cast<uint16_t>(address + done);
    Exchange(protocol::EncodeWrite(space, at, data.subspan(done, n)), protocol::WriteCommand(space),
             0);
    done += n;
  }
}

void Link::Listen(Clock::time_point deadline) { Pump(deadline, 0, 0, false); }

}  // namespace tarlek::mon
