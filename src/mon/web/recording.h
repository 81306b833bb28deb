// What the plot has sampled: each sample's time and values, numbered from 0
// as they come, for the page's stream and the CSV download. Shared by the
// sampling thread and the server's threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tarlek::plot {

// json's destructor frees nested values through a vector of its own, which
// the check takes for a throw:
// NOLINTNEXTLINE(bugprone-exception-escape)
struct Sample {
  double time = 0;                // seconds since the plot began
  nlohmann::ordered_json values;  // an object: variable name -> its value
  // An object: variable name -> its value as text for the page's table (as
  // watch shows it); null when the page is to make its own.
  nlohmann::ordered_json text;
};

// A sample as the stream carries it: {"time": ..., "values": {...}} as a
// line of `watch --json`, and "text": {...} when the sample has it.
nlohmann::ordered_json SampleJson(const Sample& sample);

// A value in a CSV cell, quoted as mon/output/csv.h has it: a number or a
// boolean as JSON writes it (an
// infinity as inf or -inf), a string as itself, anything else (a struct, an
// array) as its JSON text; null (not read) as an empty cell.
std::string CsvValue(const nlohmann::ordered_json& value);

class Recording {
 public:
  // names: the variables, in the order of the CSV's columns. capacity: the
  // samples kept; past it the oldest go first.
  Recording(std::vector<std::string> names, size_t capacity);

  const std::vector<std::string>& names() const { return names_; }

  void Add(Sample sample);
  // Wakes every waiter for good: the plot is ending.
  void Close();
  bool closed() const;

  // The samples numbered from on (or from the oldest one kept, when those
  // have gone), at most limit; waits until there is one or the recording
  // closes or timeout passes. first is the number of the first one returned.
  struct Batch {
    uint64_t first = 0;
    std::vector<Sample> samples;
  };
  Batch WaitFrom(uint64_t from, size_t limit, std::chrono::milliseconds timeout) const;

  // The number the next sample gets: how many came.
  uint64_t count() const;
  // How many went for want of room.
  uint64_t dropped() const;

  // Everything kept, as CSV: a header "time" and the names, then a row per
  // sample.
  std::string Csv() const;

 private:
  const std::vector<std::string> names_;
  const size_t capacity_;
  mutable std::mutex mutex_;
  mutable std::condition_variable added_;
  std::deque<Sample> samples_;
  uint64_t first_ = 0;  // the number of samples_.front()
  bool closed_ = false;
};

}  // namespace tarlek::plot
