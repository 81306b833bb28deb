#include "mon/web/recording.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "mon/output/csv.h"

namespace tarlek::plot {

using mon::CsvField;

nlohmann::ordered_json SampleJson(const Sample& sample) {
  nlohmann::ordered_json json = {{"time", sample.time}, {"values", sample.values}};
  if (!sample.text.is_null()) json["text"] = sample.text;
  return json;
}

std::string CsvValue(const nlohmann::ordered_json& value) {
  if (value.is_null()) return "";
  // An infinity, where JSON would write null.
  if (value.is_number() && !std::isfinite(value.get<double>())) {
    return value.get<double>() > 0 ? "inf" : "-inf";
  }
  if (value.is_string()) return CsvField(value.get_ref<const std::string&>());
  return CsvField(value.dump());
}

Recording::Recording(std::vector<std::string> names, size_t capacity)
    : names_(std::move(names)), capacity_(std::max<size_t>(capacity, 1)) {}

void Recording::Add(Sample sample) {
  {
    const std::lock_guard lock(mutex_);
    if (samples_.size() == capacity_) {
      samples_.pop_front();
      ++first_;
    }
    samples_.push_back(std::move(sample));
  }
  added_.notify_all();
}

void Recording::Close() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  added_.notify_all();
}

bool Recording::closed() const {
  const std::lock_guard lock(mutex_);
  return closed_;
}

Recording::Batch Recording::WaitFrom(uint64_t from, size_t limit,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  added_.wait_for(lock, timeout, [&] { return closed_ || first_ + samples_.size() > from; });
  Batch batch;
  batch.first = std::max(from, first_);
  const uint64_t end = first_ + samples_.size();
  for (uint64_t n = batch.first; n < end && batch.samples.size() < limit; ++n) {
    batch.samples.push_back(samples_[n - first_]);
  }
  return batch;
}

uint64_t Recording::count() const {
  const std::lock_guard lock(mutex_);
  return first_ + samples_.size();
}

uint64_t Recording::dropped() const {
  const std::lock_guard lock(mutex_);
  return first_;
}

std::string Recording::Csv() const {
  std::string text = "time";
  for (const std::string& name : names_) {
    text += ',';
    text += CsvField(name);
  }
  text += "\n";
  const std::lock_guard lock(mutex_);
  for (const Sample& sample : samples_) {
    text += fmt::format("{:.3f}", sample.time);
    for (const std::string& name : names_) {
      text += ',';
      if (const auto found = sample.values.find(name); found != sample.values.end()) {
        text += CsvValue(*found);
      }
    }
    text += "\n";
  }
  return text;
}

}  // namespace tarlek::plot
