// Samples of named variables while the program runs: each sample reads every
// variable once, in as few read requests as the resident's payload allows
// (variables close together in one space share a request), and gives the
// typed values; and the run of samples, one each interval until its end.
// watch shows them; plot serves them to a web page.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mon/line/link.h"
#include "mon/symbols/symbol_table.h"
#include "mon/symbols/target.h"

namespace tarlek::mon {

// NOLINTNEXTLINE(bugprone-exception-escape): JSON's moves may allocate, as any copy
struct Sample {
  double time = 0;                // seconds since the Unix epoch, when the last answer came
  nlohmann::ordered_json values;  // an object: one member per name, in the order given
  // {"time": time, "values": values}: a line of watch --json.
  nlohmann::ordered_json Json() const;
};

class Sampler {
 public:
  // names: expressions ResolveName takes. Throws a usage Failure naming the
  // first that does not resolve.
  Sampler(const SymbolTable& program, const std::vector<std::string>& names);
  explicit Sampler(std::vector<Target> targets);

  const std::vector<Target>& targets() const { return targets_; }
  std::vector<std::string> names() const;

  // Reads every target once over link (whose Identify has set the payload
  // size). Throws a Failure as Link::Read does (kExitInterrupted at Ctrl-C).
  Sample Take(Link& link);
  // The read requests one sample makes (known after the first Take).
  size_t requests() const { return requests_; }
  // The bytes one sample reads.
  size_t bytes_per_sample() const;

  // The text of target i's value in a sample, as watch shows it.
  std::string Text(size_t i, const nlohmann::ordered_json& value, bool hex) const;

 private:
  // One read request of a sample: count bytes (at most the largest payload)
  // from first.
  struct Run {
    Space space;
    uint32_t first;
    uint32_t count;
  };
  void Plan(size_t largest_payload);

  std::vector<Target> targets_;
  std::vector<Run> runs_;
  std::vector<std::vector<size_t>> positions_;  // per target: its bytes in the buffer
  size_t planned_for_ = 0;                      // the payload the runs were cut for
  size_t requests_ = 0;
};

// How far a run of samples has got.
struct SamplingProgress {
  size_t samples = 0;  // taken, the latest included
  double seconds = 0;  // since the run began
  // Line bytes (sent and received) and requests sent again, counted from the
  // end of the first sample, which carries no identify and no planning.
  size_t line_bytes = 0;
  size_t retries = 0;
};

// Takes a sample every interval seconds (0: one after the other) and hands
// it to each with the progress, listening for the program's output between
// samples, until seconds have passed (0: no end) or Ctrl-C, which is the
// normal end. Returns the progress at the end. Any other Failure, from the
// line or from each, ends the run and passes on.
SamplingProgress SampleUntilEnd(Sampler& sampler, Link& link, double interval, double seconds,
                                const std::function<void(Sample&, const SamplingProgress&)>& each);

}  // namespace tarlek::mon
