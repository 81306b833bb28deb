#include "mon/commands/sampler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <set>

#include "base/clock.h"
#include "base/failure.h"
#include "mon/symbols/value.h"

namespace tarlek::mon {

namespace {

// Bytes between two variables that are cheaper to read along than to ask
// for in a request of their own (a request and its answer cost about ten
// bytes of line time and a turn of the resident). SFRs are never read beyond
// what was asked: reading some (a FIFO's data register) changes them.
uint32_t Gap(Space space) { return space == Space::kSfr ? 0 : 8; }

}  // namespace

nlohmann::ordered_json Sample::Json() const { return {{"time", time}, {"values", values}}; }

Sampler::Sampler(const SymbolTable& program, const std::vector<std::string>& names) {
  for (const std::string& name : names) targets_.push_back(ResolveName(program, name));
}

Sampler::Sampler(std::vector<Target> targets) : targets_(std::move(targets)) {}

std::vector<std::string> Sampler::names() const {
  std::vector<std::string> out;
  for (const Target& t : targets_) out.push_back(t.name);
  return out;
}

size_t Sampler::bytes_per_sample() const {
  size_t total = 0;
  for (const Run& run : runs_) total += run.count;
  return total;
}

void Sampler::Plan(size_t largest_payload) {
  std::map<Space, std::set<uint32_t>> wanted;
  for (const Target& t : targets_) {
    for (uint32_t i = 0; i < t.type->size; ++i)
      wanted[t.place.space].insert(t.place.ByteAddress(i));
  }
  runs_.clear();
  const auto limit = static_cast<uint32_t>(std::max<size_t>(largest_payload, 1));
  for (const auto& [space, addresses] : wanted) {
    for (const uint32_t address : addresses) {
      if (!runs_.empty() && runs_.back().space == space) {
        Run& last = runs_.back();
        const uint32_t end = last.first + last.count;
        if (address < end) continue;
        if (address - end <= Gap(space) && address - last.first < limit) {
          last.count = address - last.first + 1;
          continue;
        }
      }
      runs_.push_back(Run{space, address, 1});
    }
  }
  // Where each target's bytes land in the buffer the runs fill.
  std::map<std::pair<Space, uint32_t>, size_t> at;
  size_t offset = 0;
  for (const Run& run : runs_) {
    for (uint32_t i = 0; i < run.count; ++i) at[{run.space, run.first + i}] = offset + i;
    offset += run.count;
  }
  positions_.clear();
  for (const Target& t : targets_) {
    std::vector<size_t> positions;
    for (uint32_t i = 0; i < t.type->size; ++i) {
      positions.push_back(at.at({t.place.space, t.place.ByteAddress(i)}));
    }
    positions_.push_back(std::move(positions));
  }
  planned_for_ = largest_payload;
  requests_ = runs_.size();
}

Sample Sampler::Take(Link& link) {
  if (planned_for_ != link.largest_payload() || positions_.size() != targets_.size()) {
    Plan(link.largest_payload());
  }
  Bytes buffer;
  for (const Run& run : runs_) {
    const Bytes bytes = link.Read(run.space, run.first, run.count);
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
  }
  Sample sample;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  sample.time =
      static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) /
      1000.0;
  sample.values = nlohmann::ordered_json::object();
  for (size_t i = 0; i < targets_.size(); ++i) {
    Bytes bytes;
    for (const size_t p : positions_[i]) bytes.push_back(buffer.at(p));
    sample.values[targets_[i].name] = DecodeValue(*targets_[i].type, bytes);
  }
  return sample;
}

std::string Sampler::Text(size_t i, const nlohmann::ordered_json& value, bool hex) const {
  return FormatValue(*targets_.at(i).type, value, hex);
}

SamplingProgress SampleUntilEnd(Sampler& sampler, Link& link, double interval, double seconds,
                                const std::function<void(Sample&, const SamplingProgress&)>& each) {
  const auto start = Clock::now();
  const auto period = SecondsOnClock(interval);
  const auto end = DeadlineAfter(seconds, start);
  SamplingProgress progress;
  size_t line_at_first = 0;
  size_t retries_at_first = 0;
  const auto update = [&] {
    progress.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (progress.samples == 0) return;
    progress.line_bytes = link.bytes_sent() + link.bytes_received() - line_at_first;
    progress.retries = link.retries_done() - retries_at_first;
  };
  try {
    for (;;) {
      const auto started = Clock::now();
      Sample sample = sampler.Take(link);
      if (++progress.samples == 1) {
        line_at_first = link.bytes_sent() + link.bytes_received();
        retries_at_first = link.retries_done();
      }
      update();
      each(sample, progress);
      link.Listen(std::min(started + period, end));
      if (Clock::now() >= end) break;
    }
  } catch (const Failure& failure) {
    if (failure.status() != kExitInterrupted) throw;
  }
  update();
  return progress;
}

}  // namespace tarlek::mon
