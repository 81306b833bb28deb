#include "mon/line/link.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/failure.h"

namespace tarlek::mon {

using namespace std::chrono_literals;
using protocol::Piece;

namespace {

// A frame that has begun and then stays incomplete this long was cut short:
// the resident sends its frames without pauses.
Clock::duration PartialGap(std::chrono::nanoseconds character) { return 100ms + 10 * character; }

// The identify answer's fields, checked before anything relies on them;
// empty when they make sense. version: the framing the answer came in.
std::string IdentifyProblem(const IdentifyInfo& info, int version) {
  if (info.protocol != version) {
    return fmt::format("it says protocol {} in a protocol {} frame", info.protocol, version);
  }
  if (info.largest_payload < protocol::kIdentifyLength) {
    return fmt::format("a largest payload of {} bytes, less than its own identify answer ({})",
                       info.largest_payload, protocol::kIdentifyLength);
  }
  if (!info.Offers(protocol::kIdentify) || (info.commands & 1u) != 0) {
    return fmt::format("commands {:04X}h, without identify or with a command 0", info.commands);
  }
  if (info.clock_hz == 0 || info.baud == 0 || info.baud > info.clock_hz / 32) {
    return fmt::format("{} baud from a {} Hz crystal", info.baud, info.clock_hz);
  }
  return {};
}

}  // namespace

Link::Link(Port& port, LinkSettings settings)
    : port_(port),
      settings_(std::move(settings)),
      decoder2_(protocol::FrameDecoder::Direction::kAnswers, 255),
      decoder3_(protocol::v3::FrameDecoder::Direction::kAnswers, 255) {
  // A SEQ of its own for every run, so that an answer left over from an
  // earlier run is not taken either.
  seq_ = settings_.first_seq ? *settings_.first_seq
                             : static_cast<uint8_t>(Clock::now().time_since_epoch().count() / 1000);
}

std::chrono::nanoseconds Link::CharacterTime() const {
  return std::chrono::nanoseconds(10'000'000'000LL / std::max<uint32_t>(settings_.baud, 1));
}

Clock::duration Link::Timeout(size_t request_bytes, size_t answer_payload) const {
  // Three times the line time of request and answer, plus room for the
  // program's output ahead of the answer and for scheduling on the host
  // (the slack, 200 ms unless asked otherwise). Until the version is known,
  // the answer may be protocol 3's, escaped.
  const size_t answer = version_ == 2 ? answer_payload + protocol::kFrameOverhead
                                      : protocol::v3::LongestOnLine(answer_payload);
  const size_t characters = request_bytes + answer;
  return settings_.slack + 3 * static_cast<long>(characters) * CharacterTime();
}

uint8_t Link::NextSeq(bool probe) {
  uint8_t seq = seq_++;
  while (probe && !protocol::v3::IdentifyFitsVersionProbe(seq)) seq = seq_++;
  return seq;
}

std::vector<Piece> Link::Decided() {
  // The first answer of either kind shows the version: a protocol 3 frame
  // naming one of the identifies sent, or any good protocol 2 answer (only
  // its identify was asked). Whether it fits the request is judged after.
  auto shows = [](const std::vector<Piece>& pieces, auto&& is_answer) {
    return std::any_of(pieces.begin(), pieces.end(), [&](const Piece& piece) {
      return piece.kind == Piece::kFrame && is_answer(piece.frame);
    });
  };
  std::vector<Piece> pieces;
  if (shows(pending3_, [&](const protocol::Frame& f) {
        return std::find(probe_seqs_.begin(), probe_seqs_.end(), f.seq) != probe_seqs_.end();
      })) {
    version_ = 3;
    decoder_ = &decoder3_;
    pieces = std::move(pending3_);
  } else if (shows(pending2_, [](const protocol::Frame&) { return true; })) {
    version_ = 2;
    decoder_ = &decoder2_;
    pieces = std::move(pending2_);
  } else {
    return {};
  }
  pending2_.clear();
  pending3_.clear();
  return pieces;
}

std::vector<Piece> Link::Decode(std::span<const uint8_t> bytes) {
  if (decoder_ != nullptr) return decoder_->Feed(bytes);
  // Nothing asked yet (the console): the program's output only.
  if (probe_seqs_.empty()) return decoder2_.Feed(bytes);
  for (Piece& p : decoder2_.Feed(bytes)) pending2_.push_back(std::move(p));
  for (Piece& p : decoder3_.Feed(bytes)) pending3_.push_back(std::move(p));
  return Decided();
}

std::vector<Piece> Link::Flush() {
  if (decoder_ != nullptr) return decoder_->FlushPartial();
  if (probe_seqs_.empty()) return decoder2_.FlushPartial();
  for (Piece& p : decoder2_.FlushPartial()) pending2_.push_back(std::move(p));
  for (Piece& p : decoder3_.FlushPartial()) pending3_.push_back(std::move(p));
  return Decided();
}

bool Link::HasPartial() const {
  if (decoder_ != nullptr) return decoder_->HasPartial();
  return decoder2_.HasPartial() || decoder3_.HasPartial();
}

size_t Link::Damaged() const {
  if (decoder_ != nullptr) return decoder_->damaged_frames();
  return decoder2_.damaged_frames() + decoder3_.damaged_frames();
}

void Link::Deliver(const std::vector<Piece>& pieces, const Wanted& want,
                   std::optional<Bytes>& found) {
  for (const auto& piece : pieces) {
    if (piece.kind == Piece::kOutput) {
      if (settings_.output) settings_.output(piece.output);
      continue;
    }
    ++answer_frames_;
    const protocol::Frame& frame = piece.frame;
    const bool waiting = want.command != 0 && !found;
    if (!waiting || (version_ == 3 && frame.seq != want.seq)) {
      // An earlier attempt's answer, come late: dropped.
      ++late_answers_;
      continue;
    }
    const size_t length = frame.payload.size();
    const bool length_fits =
        version_ == 3 && want.at_least ? length >= want.length : length == want.length;
    if (frame.command == want.command && length_fits) {
      found = frame.payload;
      continue;
    }
    // In protocol 3 the attempt's own answer, yet not what was asked; in
    // protocol 2 that or a late answer to another request.
    ++unfit_answers_;
    unfit_command_ = frame.command;
    unfit_length_ = length;
  }
}

std::optional<Bytes> Link::Pump(Clock::time_point deadline, const Wanted& want) {
  uint8_t buffer[1024];
  const size_t damaged_before = Damaged();
  const size_t frames_before = answer_frames_;
  const size_t unfit_before = unfit_answers_;
  const auto gap = PartialGap(CharacterTime());
  std::optional<Bytes> found;
  for (;;) {
    Clock::time_point wake = deadline;
    if (HasPartial()) wake = std::min(deadline, last_byte_ + gap);
    const size_t n = port_.Read(buffer, wake);
    const auto now = Clock::now();
    if (n > 0) {
      last_byte_ = now;
      bytes_received_ += n;
      Deliver(Decode(std::span(buffer, n)), want, found);
    } else if (HasPartial() && now >= last_byte_ + gap) {
      Deliver(Flush(), want, found);
    }
    if (found) return found;
    const bool damage = Damaged() != damaged_before;
    if (want.stop_on_damage && damage) return std::nullopt;
    // Protocol 3's own answer that does not fit: no other comes for it.
    if (want.stop_on_damage && version_ == 3 && unfit_answers_ != unfit_before) return std::nullopt;
    if (want.stop_on_frame && (damage || answer_frames_ != frames_before)) return std::nullopt;
    if (n == 0 && now >= deadline) return std::nullopt;
  }
}

void Link::Settle(Clock::duration timeout) {
  const auto cap = Clock::now() + (settings_.retries + 2) * timeout;
  Wanted any_frame;
  any_frame.stop_on_frame = true;
  for (;;) {
    const size_t frames = answer_frames_;
    const size_t damaged = Damaged();
    Pump(std::min(Clock::now() + timeout, cap), any_frame);
    if (Clock::now() >= cap) return;
    if (frames == answer_frames_ && damaged == Damaged() && !HasPartial()) return;
  }
}

Bytes Link::Exchange(uint8_t command, const BodyOf& body, size_t answer_length) {
  const bool probe = version_ == 0;
  const size_t late_before = late_answers_;
  const size_t unfit_before = unfit_answers_;
  const auto quiet = PartialGap(CharacterTime()) + 10 * CharacterTime();
  Clock::duration timeout{};
  int damaged_attempts = 0;
  for (int attempt = 0; attempt <= settings_.retries; ++attempt) {
    if (attempt > 0) {
      ++retries_done_;
      // Resynchronise: wait until the line has been quiet long enough for the
      // resident to have dropped a request it was still taking and for a late
      // answer to have come and gone.
      const auto cap = Clock::now() + timeout;
      Wanted none;
      for (;;) {
        const size_t before = bytes_received_;
        Pump(std::min(Clock::now() + quiet, cap), none);
        if (bytes_received_ == before || Clock::now() >= cap) break;
      }
      std::optional<Bytes> ignored;
      Deliver(Flush(), none, ignored);
    }
    const uint8_t seq = NextSeq(probe);
    Bytes request;
    if (probe) {
      // Protocol 3's identify, which a protocol 2 resident ignores (it holds
      // no A5h), then protocol 2's, which a protocol 3 resident ignores.
      probe_seqs_.push_back(seq);
      request = protocol::v3::EncodeIdentify(seq);
      const Bytes second = protocol::EncodeIdentify();
      request.insert(request.end(), second.begin(), second.end());
    } else if (version_ == 3) {
      request = protocol::v3::EncodeFrame(command, seq, body(seq));
    } else {
      request = protocol::EncodeFrame(command, body(0));
    }
    timeout = Timeout(request.size(), answer_length);
    port_.Write(request, Clock::now() + timeout);
    bytes_sent_ += request.size();
    Wanted want;
    want.command = static_cast<uint8_t>(command | protocol::kAnswerBit);
    want.seq = seq;
    want.length = answer_length;
    want.at_least = command == protocol::kIdentify;
    want.stop_on_damage = true;
    const size_t damaged_earlier = Damaged();
    auto payload = Pump(Clock::now() + timeout, want);
    if (Damaged() != damaged_earlier) ++damaged_attempts;
    if (payload) {
      // A protocol 2 answer names no attempt: the one taken may have been an
      // earlier attempt's, and a later attempt's may still come.
      if (attempt > 0 && version_ == 2) Settle(timeout);
      return *payload;
    }
  }
  if (version_ == 0) {
    // The version is still open: what came is the program's output as
    // protocol 2 sees it.
    std::optional<Bytes> ignored;
    for (Piece& p : decoder2_.FlushPartial()) pending2_.push_back(std::move(p));
    Deliver(pending2_, Wanted{}, ignored);
    pending2_.clear();
    pending3_.clear();
    decoder3_.FlushPartial();
  }
  throw Failure(kExitFailure, FailureMessage(command, answer_length, settings_.retries + 1, timeout,
                                             damaged_attempts, unfit_answers_ != unfit_before,
                                             late_answers_ != late_before));
}

std::string Link::FailureMessage(uint8_t command, size_t answer_length, int attempts,
                                 Clock::duration timeout, int damaged, bool unfit,
                                 bool late) const {
  const std::string where = fmt::format("on {} at {} baud", port_.name(), settings_.baud);
  std::string tries = fmt::format("{} attempt{} of {:.1f} s", attempts, attempts == 1 ? "" : "s",
                                  std::chrono::duration<double>(timeout).count());
  // Damage in every attempt points at the line (a wrong baud rate, noise);
  // damage in some only (a program that starts up while its resident
  // answers, say) is told beside what the others met.
  if (damaged == attempts) {
    return fmt::format("damaged answers from the resident {}, {}: check the baud rate and the line",
                       where, tries);
  }
  if (damaged > 0) tries += fmt::format(", {} of them with a damaged answer", damaged);
  if (unfit) {
    return fmt::format(
        "the resident {} answered command {:02X}h with {:02X}h and {} bytes, not {:02X}h and {}: "
        "its answers do not fit the requests",
        where, command, unfit_command_, unfit_length_, command | protocol::kAnswerBit,
        answer_length);
  }
  if (late) {
    return fmt::format(
        "the resident {} answered only after the time-out ({}): a slow link? give it more --slack",
        where, tries);
  }
  return fmt::format(
      "no answer from the resident {}, {}: is the program running, and was it merged with the "
      "resident?",
      where, tries);
}

IdentifyInfo Link::Identify() {
  const Bytes payload = Exchange(
      protocol::kIdentify, [](uint8_t) { return Bytes{}; }, protocol::kIdentifyLength);
  // The length was checked by the exchange; protocol 3 may send more, which
  // a host ignores.
  const auto info = protocol::ParseIdentify(std::span(payload).first(protocol::kIdentifyLength));
  if (info->protocol != 2 && info->protocol != 3) {
    throw Failure(kExitFailure, fmt::format("the resident on {} speaks protocol {}; tarlek-mon "
                                            "speaks 2 and 3",
                                            port_.name(), info->protocol));
  }
  if (const std::string problem = IdentifyProblem(*info, version_); !problem.empty()) {
    throw Failure(kExitFailure,
                  fmt::format("the identify answer from the resident on {} makes no sense ({}): "
                              "a damaged answer, or not a Tarlek resident",
                              port_.name(), problem));
  }
  largest_payload_ = info->largest_payload;
  clock_hz_ = info->clock_hz;
  resident_baud_ = info->baud;
  decoder_->SetLargestPayload(std::max(largest_payload_, payload.size()));
  return *info;
}

Bytes Link::Read(Space space, uint32_t address, size_t count, const Progress& progress) {
  Bytes out;
  out.reserve(count);
  const size_t chunk_limit = std::min<size_t>(largest_payload_, 255);
  while (out.size() < count) {
    const size_t n = std::min(chunk_limit, count - out.size());
    const auto at = static_cast<uint16_t>(address + out.size());
    const Bytes part = Exchange(
        protocol::ReadCommand(space),
        [&](uint8_t) { return protocol::ReadBody(space, at, static_cast<uint8_t>(n)); }, n);
    out.insert(out.end(), part.begin(), part.end());
    if (progress) progress(out.size());
  }
  return out;
}

Bytes Link::Write(Space space, uint32_t address, std::span<const uint8_t> data) {
  const size_t width = protocol::AddressWidth(space);
  // Identify made sure there is room for the address, ACHK and data.
  const bool paced = version_ == 3 && (space == Space::kIram || space == Space::kSfr) &&
                     !protocol::v3::KeepsUpWithSlowWrites(clock_hz_, resident_baud_);
  const size_t chunk_limit = paced ? 1 : std::min<size_t>(largest_payload_, 255) - width - 1;
  const bool masks = version_ == 3 && space == Space::kSfr;
  Bytes kept;
  for (size_t done = 0; done < data.size();) {
    const size_t n = std::min(chunk_limit, data.size() - done);
    const auto at = static_cast<uint16_t>(address + done);
    const auto chunk = data.subspan(done, n);
    const Bytes answer = Exchange(
        protocol::WriteCommand(space),
        [&](uint8_t seq) {
          return protocol::WriteBody(space, at, chunk, version_ == 3 ? seq : uint8_t{0});
        },
        masks ? n : 0);
    kept.insert(kept.end(), answer.begin(), answer.end());
    done += n;
  }
  return kept;
}

void Link::Listen(Clock::time_point deadline) { Pump(deadline, Wanted{}); }

}  // namespace tarlek::mon
