// Samples of named variables against the fake resident: typed values, and
// variables close together read in shared requests.
#include "mon/commands/sampler.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <memory>

#include "base/failure.h"
#include "mon/support/fake_line.h"
#include "mon/symbols/cdb.h"

namespace tarlek::mon {
namespace {

using testing::FakeLine;

// counter (int, iram 30h) and ticks (iram 34h): 2 bytes apart, one request;
// temp in xram 0100h and log at 0180h: too far apart for one; P1 an SFR;
// ready bit 2 of 21h.
constexpr const char* kCdb =
    "M:demo\n"
    "T:Fdemo$sensor[({0}S:S$temp$0_0$0({2}SI:S),Z,0,0)({2}S:S$scale$0_0$0({4}SF:S),Z,0,0)]\n"
    "S:G$counter$0_0$0({2}SI:S),E,0,0\n"
    "S:G$ticks$0_0$0({2}SI:U),E,0,0\n"
    "S:G$sensor$0_0$0({6}STsensor:S),F,0,0\n"
    "S:G$log$0_0$0({4}DA4d,SC:U),F,0,0\n"
    "S:G$P1$0_0$0({1}SC:U),I,0,0\n"
    "S:G$ready$0_0$0({1}SB0$1:U),H,0,0\n"
    "L:G$counter$0_0$0:30\n"
    "L:G$ticks$0_0$0:34\n"
    "L:G$sensor$0_0$0:100\n"
    "L:G$log$0_0$0:180\n"
    "L:G$P1$0_0$0:90\n"
    "L:G$ready$0_0$0:A\n";

TEST(Sampler, TypedValuesInFewRequests) {
  const SymbolTable program = ParseCdb(kCdb, "demo.cdb");
  FakeLine line({.largest_payload = 64});
  auto& r = *line.resident;
  r.iram[0x30] = 0xFE;  // counter -2
  r.iram[0x31] = 0xFF;
  r.iram[0x34] = 0x34;  // ticks 4660
  r.iram[0x35] = 0x12;
  r.iram[0x21] = 0x04;       // ready
  r.xram[0x100] = 0x15;      // temp 21
  r.xram[0x102 + 2] = 0xC0;  // scale 1.5: 00 00 C0 3F
  r.xram[0x102 + 3] = 0x3F;
  for (uint8_t i = 0; i < 4; ++i) r.xram[0x180 + i] = static_cast<uint8_t>(10 + i);
  r.sfr[0x90] = 0xA5;
  line.Connect();
  line.link->Identify();
  const size_t before = r.requests();
  Sampler sampler(program,
                  {"counter", "ticks", "sensor.temp", "sensor", "log[2]", "P1", "ready", "log"});
  const Sample sample = sampler.Take(*line.link);
  EXPECT_EQ(sample.values.dump(),
            R"({"counter":-2,"ticks":4660,"sensor.temp":21,"sensor":{"temp":21,"scale":1.5},)"
            R"("log[2]":12,"P1":165,"ready":1,"log":[10,11,12,13]})");
  // iram 21h..35h is one request (21h and 30h are 15 bytes apart: two),
  // xram 0100h and 0180h two, the SFR one.
  EXPECT_EQ(sampler.requests(), 5u);
  EXPECT_EQ(r.requests() - before, sampler.requests());
  EXPECT_GT(sample.time, 1.7e9);
  EXPECT_EQ(sample.Json()["values"]["ticks"], 4660);
  EXPECT_EQ(sampler.Text(3, sample.values["sensor"], false), "{temp: 21, scale: 1.5}");
  EXPECT_EQ(sampler.Text(1, sample.values["ticks"], true), "1234h");

  // The next sample sees what changed, in the same requests.
  r.iram[0x34] = 0x35;
  EXPECT_EQ(sampler.Take(*line.link).values["ticks"], 4661);
  EXPECT_EQ(r.requests() - before, 2 * sampler.requests());
}

TEST(Sampler, RequestsNeverExceedThePayloadAndSfrsAreNotReadAlong) {
  std::string cdb = "M:m\n";
  // 40 one-byte variables side by side in xram, and two SFRs one apart.
  for (int i = 0; i < 40; ++i) {
    cdb += "S:G$x" + std::to_string(i) + "$0_0$0({1}SC:U),F,0,0\n";
    cdb += fmt::format("L:G$x{}$0_0$0:{:X}\n", i, 0x1000 + i);
  }
  cdb += "S:G$A$0_0$0({1}SC:U),I,0,0\nL:G$A$0_0$0:E0\n";
  cdb += "S:G$B$0_0$0({1}SC:U),I,0,0\nL:G$B$0_0$0:F0\n";
  cdb += "S:G$C$0_0$0({1}SC:U),I,0,0\nL:G$C$0_0$0:F2\n";
  const SymbolTable program = ParseCdb(cdb, "m.cdb");
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("x" + std::to_string(i));
  names.insert(names.end(), {"A", "B", "C"});
  FakeLine line({.largest_payload = 16});
  line.Connect();
  line.link->Identify();
  const size_t before = line.resident->requests();
  Sampler sampler(program, names);
  const Sample sample = sampler.Take(*line.link);
  // 40 bytes in requests of at most 16: 3; A, B and C one each.
  EXPECT_EQ(sampler.requests(), 6u);
  EXPECT_EQ(sampler.bytes_per_sample(), 43u);
  EXPECT_EQ(line.resident->requests() - before, 6u);
  EXPECT_EQ(sample.values.size(), 43u);
}

TEST(Sampler, NamesThatDoNotResolveAreRefused) {
  const SymbolTable program = ParseCdb(kCdb, "demo.cdb");
  EXPECT_THROW(Sampler(program, {"counter", "nothing"}), Failure);
  EXPECT_THROW(Sampler(program, {"sensor.nope"}), Failure);
}

}  // namespace
}  // namespace tarlek::mon
