// plot's recording: its CSV values, what it keeps, and readers
// that wait for samples by number.
#include "mon/web/recording.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <string>
#include <utility>

namespace tarlek::plot {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::ordered_json;

// A sample without text for the table.
Sample At(double time, json values) { return {time, std::move(values), json()}; }

TEST(PlotCsv, Values) {
  const std::pair<json, std::string> values[] = {
      {json(), ""},
      {json(4660), "4660"},
      {json(-3), "-3"},
      {json(1.5), "1.5"},
      {json(std::numeric_limits<double>::infinity()), "inf"},
      {json(-std::numeric_limits<double>::infinity()), "-inf"},
      {json(true), "true"},
      {json("a,b"), "\"a,b\""},
      {json{{"temp", 21.5}, {"raw", 300}}, R"("{""temp"":21.5,""raw"":300}")"},
      {json::array({1, 2}), "\"[1,2]\""},
  };
  for (const auto& [value, cell] : values) EXPECT_EQ(CsvValue(value), cell) << value.dump();
}

TEST(PlotRecording, CsvHoldsWhatWasKept) {
  Recording recording({"counter", "a,b", "missing"}, 2);
  recording.Add(At(0.0004, json{{"counter", 1}, {"a,b", 2.5}}));
  recording.Add(At(0.1, json{{"counter", 2}, {"a,b", -1}}));
  recording.Add(At(1.23456, json{{"counter", 3}, {"a,b", "x"}}));
  // Past its room the oldest sample goes, and the count stays whole.
  EXPECT_EQ(recording.count(), 3u);
  EXPECT_EQ(recording.dropped(), 1u);
  EXPECT_EQ(recording.Csv(),
            "time,counter,\"a,b\",missing\n"
            "0.100,2,-1,\n"
            "1.235,3,x,\n");
}

TEST(PlotRecording, WaitFromNumbersTheSamples) {
  Recording recording({"v"}, 3);
  for (int i = 0; i < 5; ++i) recording.Add(At(i * 1.0, json{{"v", i}}));
  // Samples 0 and 1 have gone: a reader behind gets the oldest kept.
  auto batch = recording.WaitFrom(0, 10, 0ms);
  EXPECT_EQ(batch.first, 2u);
  ASSERT_EQ(batch.samples.size(), 3u);
  EXPECT_EQ(batch.samples[0].values["v"], 2);
  batch = recording.WaitFrom(3, 1, 0ms);
  EXPECT_EQ(batch.first, 3u);
  ASSERT_EQ(batch.samples.size(), 1u);
  EXPECT_EQ(batch.samples[0].values["v"], 3);
  // Nothing new: a short wait comes back empty.
  EXPECT_TRUE(recording.WaitFrom(5, 10, 1ms).samples.empty());

  // A waiter wakes for a new sample, and for the close.
  auto waiting = std::async(std::launch::async, [&] { return recording.WaitFrom(5, 10, 60s); });
  recording.Add(At(5.0, json{{"v", 5}}));
  batch = waiting.get();
  EXPECT_EQ(batch.first, 5u);
  EXPECT_EQ(batch.samples.size(), 1u);
  waiting = std::async(std::launch::async, [&] { return recording.WaitFrom(6, 10, 60s); });
  recording.Close();
  EXPECT_TRUE(waiting.get().samples.empty());
  EXPECT_TRUE(recording.closed());
}

}  // namespace
}  // namespace tarlek::plot
