// watch against the fake resident: a JSON line per sample, the table
// redrawn on a terminal with its changes marked and the program's lines
// above it, and typed variables by name with a CSV log (with typed read and
// write).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "base/failure.h"
#include "mon/commands/cli.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::FakeResident;
using testing::Session;
using testing::TempDir;

TEST(Commands, WatchPrintsAJsonLinePerSample) {
  Session s;
  s.resident->iram[0x41] = 1;
  // The program's counter moves after every read of it.
  s.resident->OnAnswered([&](uint8_t command) {
    if (command == protocol::kReadIram) ++s.resident->iram[0x41];
  });
  // Ctrl-C once the resident has taken four reads: four samples or more.
  EXPECT_EQ(s.RunUntilInterrupted({"watch", "--json", "--interval", "0.05", "iram", "40", "2"},
                                  protocol::kReadIram, 4),
            kExitOk);
  std::vector<nlohmann::json> lines;
  size_t at = 0;
  while (at < s.out.size()) {
    const size_t end = s.out.find('\n', at);
    lines.push_back(nlohmann::json::parse(s.out.substr(at, end - at)));
    at = end + 1;
  }
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["values"]["iram 40h"], nlohmann::json::array({0, 1 + i}));
    EXPECT_TRUE(lines[i]["time"].is_number());
  }
  // The closing line on standard error: a sample's bytes on the line, its
  // request C0 05 SEQ 02 40 02 SUM and answer C0 85 SEQ 02 D0 D1 SUM (a SEQ
  // or SUM of C0h or DBh escaped in two), the identify before the samples not
  // counted.
  EXPECT_NE(s.err.find(std::to_string(lines.size()) + " samples in"), std::string::npos) << s.err;
  std::smatch bytes;
  ASSERT_TRUE(std::regex_search(s.err, bytes, std::regex("1 request and ([0-9.]+) line bytes")))
      << s.err;
  EXPECT_GE(std::stod(bytes[1]), 14.0) << s.err;
  EXPECT_LT(std::stod(bytes[1]), 15.0) << s.err;
  EXPECT_EQ(s.err.find("sent again"), std::string::npos) << s.err;

  // A sample whose request went unanswered once: the closing line says so
  // (a busy machine may have made a late answer cost a retry more; there are
  // retries to spare).
  Session lossy;
  lossy.resident->Script({testing::Fault::kNone, testing::Fault::kNone, testing::Fault::kSilent});
  EXPECT_EQ(lossy.RunUntilInterrupted({"--slack", "0.2", "--retries", "4", "watch", "--json",
                                       "--interval", "0.05", "iram", "40", "2"},
                                      protocol::kReadIram, 4),
            kExitOk);
  std::smatch again;
  ASSERT_TRUE(std::regex_search(lossy.err, again,
                                std::regex(" line bytes a sample; (\\d+) requests? sent again\n")))
      << lossy.err;
  EXPECT_GE(std::stoi(again[1]), 1) << lossy.err;
}

TEST(Commands, WatchOnATerminalRedrawsAndMarksChanges) {
  const std::vector<std::string> args = {"watch", "--interval", "0.05", "iram", "40", "iram", "41"};
  struct Case {
    const char* name;
    Terminal terminal;
    std::string fixed, moving;  // how each row looks after the first refresh
  };
  const Case cases[] = {
      {"colour terminal", Terminal{true, true, false}, "iram 40h  77\x1b[K", "iram 41h  \x1b[7m"},
      {"terminal without colour", Terminal{false, true, false}, "iram 40h  77\x1b[K", " *\x1b[K"},
  };
  for (const auto& c : cases) {
    Session s;
    s.resident->iram[0x40] = 0x77;
    s.resident->OnAnswered([&](uint8_t command) {
      if (command == protocol::kReadIram) ++s.resident->iram[0x41];
    });
    // Ctrl-C once the resident has taken four reads: four refreshes or more.
    EXPECT_EQ(s.RunUntilInterrupted(args, protocol::kReadIram, 4, c.terminal), kExitOk) << c.name;
    // A refresh is a header with the rate and a row per variable; every one
    // after the first goes back up over the last.
    const auto lines = std::count(s.out.begin(), s.out.end(), '\n');
    ASSERT_EQ(lines % 3, 0) << c.name;
    ASSERT_GE(lines / 3, 3) << c.name;
    size_t ups = 0;
    for (size_t at = 0; (at = s.out.find("\x1b[3A", at)) != std::string::npos; ++at) ++ups;
    EXPECT_EQ(ups, static_cast<size_t>(lines / 3 - 1)) << c.name;
    EXPECT_NE(s.out.find("samples/s"), std::string::npos) << c.name;
    // The fixed byte is never marked; the counter is, from the second refresh on.
    const std::string later = s.out.substr(s.out.find("\x1b[3A"));
    EXPECT_NE(later.find(c.fixed), std::string::npos) << c.name << ": " << later;
    EXPECT_NE(later.find(c.moving), std::string::npos) << c.name << ": " << later;
    EXPECT_EQ(s.out.substr(0, s.out.find("\x1b[3A")).find(c.moving), std::string::npos);
  }

  // Piped: a line with a timestamp for each change only (the first sample's,
  // whatever the number of samples).
  Session piped;
  piped.resident->iram[0x40] = 0x77;
  std::vector<std::string> for_a_while = args;
  for_a_while.insert(for_a_while.end(), {"--seconds", "0.3"});
  EXPECT_EQ(piped.Run(for_a_while), kExitOk);
  EXPECT_TRUE(std::regex_match(
      piped.out,
      std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} iram 40h = 77\n\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                 "iram 41h = 00\n")))
      << piped.out;
}

// On a terminal the program's control bytes are shown, not obeyed, and
// watch's table stays whole below the program's lines; piped, the bytes are
// passed on as they came.
TEST(Commands, ProgramOutputOnATerminalKeepsWatchsTable) {
  const std::vector<std::string> args = {"watch", "--interval", "0.05", "iram", "40", "1"};
  Session s;
  s.resident->SetChatter({}, {'\x1b', '[', '2', 'J', '!', '\n'});
  Terminal terminal{false, true, false};
  terminal.visible_output = true;
  // Ctrl-C once the resident has taken three reads: the table drawn, then
  // program lines above it.
  EXPECT_EQ(s.RunUntilInterrupted(args, protocol::kReadIram, 3, terminal), kExitOk);
  EXPECT_EQ(s.err.find('\x1b'), std::string::npos) << s.err;
  EXPECT_NE(s.err.find("^[[2J!\n"), std::string::npos) << s.err;
  // After the table is first drawn, each program line takes it away (up over
  // its header and row, erase to the end) and draws it again below itself.
  const size_t table = s.both.find("iram 40h  ");
  ASSERT_NE(table, std::string::npos);
  const std::regex around(
      "\x1b\\[2A\r\x1b\\[J\\^\\[\\[2J!\n"
      "\r\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  [0-9.]+ samples/s\x1b\\[K\n\riram 40h  00");
  EXPECT_TRUE(std::regex_search(s.both.substr(table), around)) << s.both;

  Session raw;
  raw.resident->SetChatter({}, {'\x1b', '[', '2', 'J', '!', '\n'});
  EXPECT_EQ(raw.Run({"--retries", "0", "identify"}), kExitOk);
  EXPECT_EQ(raw.err, "\x1b[2J!\n");
  const ParseResult parsed = ParseArguments({"-p", "x", "--raw-output", "identify"}, nullptr);
  ASSERT_TRUE(std::holds_alternative<Invocation>(parsed));
  EXPECT_TRUE(std::get<Invocation>(parsed).raw_output);
}

// Variables by name and type, from a .cdb: read, write (a bit by
// read-modify-write of its byte) and watch with a CSV log.
TEST(Commands, TypedReadWriteAndWatchByName) {
  TempDir dir;
  testing::WriteFile(dir / "p.cdb", std::string("M:p\n"
                                                "T:Fp$s[({0}S:S$temp$0_0$0({2}SI:S),Z,0,0)"
                                                "({2}S:S$scale$0_0$0({4}SF:S),Z,0,0)]\n"
                                                "S:G$counter$0_0$0({2}SI:S),E,0,0\n"
                                                "S:G$sensor$0_0$0({6}STs:S),F,0,0\n"
                                                "S:G$ready$0_0$0({1}SB0$1:U),H,0,0\n"
                                                "S:G$sign$0_0$0({1}SB2$1:S),E,0,0\n"
                                                "L:G$counter$0_0$0:30\n"
                                                "L:G$sign$0_0$0:22\n"
                                                "L:G$sensor$0_0$0:200\n"
                                                "L:G$ready$0_0$0:A\n"));
  const std::vector<std::string> map = {"-m", dir / "p.cdb"};
  // One session a run, on the same memory; a watch runs until Ctrl-C, once
  // the resident has taken that many reads of xram (one a sample).
  auto run = [&](std::vector<std::string> args,
                 const std::function<void(FakeResident&)>& setup = {}, size_t xram_reads = 0) {
    auto s = std::make_unique<Session>();
    auto& r = *s->resident;
    r.iram[0x30] = 0xFE;  // counter -2
    r.iram[0x31] = 0xFF;
    r.iram[0x21] = 0xF0;  // ready 0, its neighbours 1
    r.xram[0x200] = 21;
    r.xram[0x204] = 0xC0;  // scale 1.5
    r.xram[0x205] = 0x3F;
    if (setup) setup(r);
    args.insert(args.begin(), map.begin(), map.end());
    s->exit_status = xram_reads == 0
                         ? s->Run(args)
                         : s->RunUntilInterrupted(args, protocol::kReadXram, xram_reads);
    return s;
  };
  EXPECT_EQ(run({"read", "counter"})->out, "counter = -2\n");
  EXPECT_EQ(run({"read", "--hex", "counter"})->out, "counter = FFFEh\n");
  EXPECT_EQ(run({"read", "sensor"})->out, "sensor = {temp: 21, scale: 1.5}\n");
  EXPECT_EQ(nlohmann::json::parse(run({"read", "--json", "sensor.scale"})->out)["value"], 1.5);

  // Writes: the value in the type's bytes; a bit changes only its own bit.
  const struct {
    std::vector<std::string> args;
    const char* out;
    Space space;
    uint32_t address;
    protocol::Bytes bytes;
  } writes[] = {
      {{"write", "counter", "-300"},
       "wrote counter = -300, read back the same\n",
       Space::kIram,
       0x30,
       {0xD4, 0xFE}},
      {{"write", "ready", "1"},
       "wrote ready = 1, read back the same\n",
       Space::kIram,
       0x21,
       {0xF4}},
      // A signed field of one bit: 0 or -1, as the program reads it.
      {{"write", "sign", "-1"},
       "wrote sign = -1, read back the same\n",
       Space::kIram,
       0x22,
       {0x04}},
      {{"write", "sensor.scale", "-0.25"},
       "wrote sensor.scale = -0.25, read back the same\n",
       Space::kXram,
       0x204,
       {0x80, 0xBE}},
  };
  for (const auto& w : writes) {
    const auto s = run(w.args);
    EXPECT_EQ(s->exit_status, kExitOk) << s->err;
    EXPECT_EQ(s->out, w.out);
    const auto& memory = w.space == Space::kIram ? s->resident->iram : s->resident->xram;
    EXPECT_EQ(protocol::Bytes(memory.begin() + w.address,
                              memory.begin() + w.address + static_cast<long>(w.bytes.size())),
              w.bytes)
        << w.out;
  }
  const auto refused = run({"write", "counter", "40000"});
  EXPECT_EQ(refused->exit_status, kExitUsage);
  EXPECT_NE(refused->err.find("(-32768 to 32767)"), std::string::npos) << refused->err;

  // Watch: a CSV line per sample, flushed as it goes.
  const auto watched = run(
      {"watch", "--json", "--interval", "0.05", "--csv", dir / "log.csv", "counter", "sensor",
       "ready"},
      [&](FakeResident& r) {
        r.OnAnswered([&r](uint8_t command) {
          if (command == protocol::kReadIram) ++r.iram[0x30];
        });
      },
      3);
  EXPECT_EQ(watched->exit_status, kExitOk) << watched->err;
  const std::string csv = testing::ReadText(dir / "log.csv");
  std::vector<std::string> rows;
  for (size_t at = 0; at < csv.size();) {
    const size_t end = csv.find('\n', at);
    rows.push_back(csv.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[0], "time,counter,sensor,ready");
  const std::string& out = watched->out;
  EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), rows.size() - 1);
  // The program's counter moves under the watch; the rest stays.
  const std::regex row(R"((\d+\.\d{3}),(-?\d+),"\{temp: 21, scale: 1.5\}",0)");
  std::smatch first_row, second_row;
  ASSERT_TRUE(std::regex_match(rows[1], first_row, row)) << rows[1];
  ASSERT_TRUE(std::regex_match(rows[2], second_row, row)) << rows[2];
  EXPECT_NE(first_row[2], second_row[2]);
  EXPECT_LT(std::stod(first_row[1]), std::stod(second_row[1]));
  EXPECT_EQ(nlohmann::json::parse(out.substr(0, out.find('\n')))["values"]["sensor"]["temp"], 21);
}

// A float that holds an infinity: its text says so, in a read and in a
// watch's CSV; JSON, which has none, gets null.
TEST(Commands, AnInfiniteFloatReadsAsInf) {
  TempDir dir;
  testing::WriteFile(dir / "p.cdb", "M:p\nS:G$fl$0_0$0({4}SF:S),E,0,0\nL:G$fl$0_0$0:30\n");
  const std::vector<std::string> map = {"-m", dir / "p.cdb"};
  for (const bool negative : {false, true}) {
    const std::string inf = negative ? "-inf" : "inf";
    auto run = [&](std::vector<std::string> args) {
      auto s = std::make_unique<Session>();
      const uint8_t bytes[] = {0x00, 0x00, 0x80, static_cast<uint8_t>(negative ? 0xFF : 0x7F)};
      std::copy(std::begin(bytes), std::end(bytes), s->resident->iram.begin() + 0x30);
      args.insert(args.begin(), map.begin(), map.end());
      s->exit_status = s->Run(args);
      EXPECT_EQ(s->exit_status, kExitOk) << s->err;
      return s;
    };
    EXPECT_EQ(run({"read", "fl"})->out, "fl = " + inf + "\n");
    EXPECT_TRUE(nlohmann::json::parse(run({"read", "--json", "fl"})->out)["value"].is_null());
    run({"watch", "--json", "--interval", "0.05", "--seconds", "0.1", "--csv", dir / (inf + ".csv"),
         "fl"});
    const std::string csv = testing::ReadText(dir / (inf + ".csv"));
    EXPECT_TRUE(std::regex_match(csv, std::regex("time,fl\n(\\d+\\.\\d{3}," + inf + "\n)+")))
        << csv;
  }
}

}  // namespace
}  // namespace tarlek::mon
