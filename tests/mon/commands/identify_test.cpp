// What the resident speaks and offers, against fake residents of both
// protocol versions: what tarlek-mon works with and what ends the run.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"

namespace tarlek::mon {
namespace {

using testing::FakeResident;
using testing::Session;

// Residents of both protocol versions are spoken to; what tarlek-mon cannot
// work with ends the run with status 1 and a line that says why.
TEST(Commands, WhatTheResidentSpeaksOffersAndDoes) {
  struct Case {
    const char* name;
    int version;
    std::function<void(FakeResident&)> setup;
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of standard output
    std::string err;  // a part of standard error
  };
  const Case cases[] = {
      {"protocol 3",
       3,
       [](FakeResident&) {},
       {"identify"},
       kExitOk,
       "resident   Tarlek 1.0.0 (protocol 3) at 8000h, page 80h\n",
       ""},
      {"protocol 2",
       2,
       [](FakeResident&) {},
       {"identify"},
       kExitOk,
       "resident   Tarlek 1.0.0 (protocol 2) at 8000h, page 80h\n",
       ""},
      {"another protocol",
       3,
       [](FakeResident& r) { r.info.protocol = 4; },
       {"identify"},
       kExitFailure,
       "",
       "the resident on socketpair speaks protocol 4; tarlek-mon speaks 2 and 3"},
      {"a command not offered",
       2,
       [](FakeResident& r) {
         r.info.commands = resident::kCommandsOffered & ~(1 << protocol::kReadXram);
       },
       {"read", "xram", "0"},
       kExitFailure,
       "",
       "the resident does not offer read xram"},
      {"a write not offered",
       3,
       [](FakeResident& r) {
         r.info.commands = resident::kCommandsOffered & ~(1 << protocol::kWriteIram);
       },
       {"write", "iram", "30", "1"},
       kExitFailure,
       "",
       "the resident does not offer write iram"},
      {"writes ignored",
       3,
       [](FakeResident& r) { r.IgnoreWrites(true); },
       {"write", "xram", "100", "1", "2"},
       kExitFailure,
       "wrote 01 02 at xram 0100h, read back 00 00\n",
       "xram 0100h does not hold what was written: 01 02 read back as 00 00"},
      {"writes ignored, protocol 2",
       2,
       [](FakeResident& r) { r.IgnoreWrites(true); },
       {"write", "iram", "30", "5"},
       kExitFailure,
       "wrote 05 at iram 30h, read back 00\n",
       "iram 30h does not hold what was written: 05 read back as 00"},
  };
  for (const auto& c : cases) {
    Session s(c.version);
    c.setup(*s.resident);
    EXPECT_EQ(s.Run(c.args), c.status) << c.name << ": " << s.err;
    EXPECT_EQ(s.out.substr(0, c.out.size()), c.out) << c.name;
    EXPECT_NE(s.err.find(c.err), std::string::npos) << c.name << ": " << s.err;
  }
}

}  // namespace
}  // namespace tarlek::mon
