#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/failure.h"
#include "base/image_file.h"
#include "mon/commands/commands.h"
#include "mon/commands/shared.h"
#include "mon/output/format.h"

namespace tarlek::mon {

using nlohmann::json;
using protocol::Bytes;

void PlanDump(const Invocation& invocation, const SymbolTable&, Plan& plan) {
  if (invocation.range.empty()) return;
  const auto range = ParseRange(invocation.range);
  if (!range) {
    throw UsageError(invocation.range + " is not a range A-B of code addresses (A <= B <= FFFF)");
  }
  plan.range = *range;
}

void PlanVerify(const Invocation& invocation, const SymbolTable&, Plan& plan) {
  plan.image = ReadImageFile(invocation.file);
  size_t total = 0;
  for (const auto& s : plan.image) total += s.data.size();
  if (total == 0) throw UsageError(invocation.file + " holds no data");
}

int DoDump(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  RequireCommand(info, protocol::kReadCode);
  const uint32_t count = plan.range.last - plan.range.first + 1;
  // Every check of the file comes before the reading.
  ImageFileWriter file(plan.invocation.file, plan.range.first, count);
  ProgressBar bar(io, count);
  const auto start = Clock::now();
  const Bytes bytes =
      link.Read(Space::kCode, plan.range.first, count, [&](size_t done) { bar.Update(done); });
  bar.Finish();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  file.Commit(bytes);
  if (plan.invocation.json) {
    json j = {{"first", plan.range.first},
              {"last", plan.range.last},
              {"bytes", count},
              {"seconds", seconds},
              {"line_bytes", link.bytes_sent() + link.bytes_received()},
              {"retries", link.retries_done()}};
    PutFileName(j, plan.invocation.file);
    io.out(j.dump() + "\n");
  } else if (!plan.invocation.quiet) {
    io.out(fmt::format("code {:04X}h-{:04X}h ({} bytes) written to {} in {:.1f} s\n",
                       plan.range.first, plan.range.last, count, plan.invocation.file, seconds));
  }
  return kExitOk;
}

int DoVerify(const Plan& plan, Link& link, Io& io) {
  const std::vector<Segment>& segments = plan.image;
  size_t total = 0;
  for (const auto& s : segments) total += s.data.size();
  const auto info = CheckedIdentify(link, plan, io);
  RequireCommand(info, protocol::kReadCode);
  ProgressBar bar(io, total);
  std::vector<Difference> differences;
  size_t done = 0;
  for (const auto& segment : segments) {
    const Bytes chip = link.Read(Space::kCode, segment.address, segment.data.size(),
                                 [&](size_t n) { bar.Update(done + n); });
    done += segment.data.size();
    for (auto& d : FindDifferences(segment.address, segment.data, chip)) differences.push_back(d);
  }
  bar.Finish();
  size_t differing = 0;
  for (const auto& d : differences) differing += d.expected.size();
  if (plan.invocation.json) {
    json list = json::array();
    for (const auto& d : differences) {
      list.push_back(
          {{"first", d.first}, {"last", d.last}, {"file", d.expected}, {"chip", d.actual}});
    }
    json j = {{"bytes", total},
              {"match", differences.empty()},
              {"differing_bytes", differing},
              {"differences", list}};
    PutFileName(j, plan.invocation.file);
    io.out(j.dump() + "\n");
  } else {
    for (const auto& d : differences) {
      const size_t shown = std::min<size_t>(d.expected.size(), 16);
      const char* more = shown < d.expected.size() ? " ..." : "";
      const std::string where = d.first == d.last ? fmt::format("{:04X}h", d.first)
                                                  : fmt::format("{:04X}h-{:04X}h", d.first, d.last);
      io.out(fmt::format("differs at {}: file {}{}, chip {}{}\n", where,
                         ByteList(std::span(d.expected).first(shown)), more,
                         ByteList(std::span(d.actual).first(shown)), more));
    }
    if (differences.empty()) {
      io.out(fmt::format("verified: the {} bytes of {} match code memory\n", total,
                         plan.invocation.file));
    } else {
      io.out(fmt::format("{} of {} bytes differ, in {} range{}\n", differing, total,
                         differences.size(), differences.size() == 1 ? "" : "s"));
    }
  }
  return differences.empty() ? kExitOk : kExitDifferent;
}

}  // namespace tarlek::mon
