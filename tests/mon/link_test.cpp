// Exchanges with a scripted fake resident on the other end of a socket pair
// or a pseudo-terminal: what the client does when answers are missing,
// damaged, cut short, mixed with the program's output, or the line goes away.
#include "mon/link.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "mon/failure.h"
#include "mon/fake_resident.h"

namespace tarlek::mon {
namespace {

using testing::FakeResident;
using testing::Fault;

// A fast line keeps the time-outs short.
constexpr uint32_t kBaud = 115200;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Line {
  std::unique_ptr<Port> port;
  std::unique_ptr<FakeResident> resident;
  int slave_keeper = -1;  // a pseudo-terminal's own end, kept open
  Bytes output;           // the program's output as the client passed it on
  std::unique_ptr<Link> link;

  ~Line() {
    link.reset();
    port.reset();
    resident.reset();
    if (slave_keeper >= 0) ::close(slave_keeper);
  }

  void Connect(int retries = 2) {
    LinkSettings settings;
    settings.baud = kBaud;
    settings.retries = retries;
    settings.output = [this](std::span<const uint8_t> b) {
      output.insert(output.end(), b.begin(), b.end());
    };
    link = std::make_unique<Link>(*port, settings);
    resident->Start();
  }
};

enum class Transport { kSocketPair, kPseudoTerminal };

std::unique_ptr<Line> MakeLine(Transport transport, uint8_t largest = 255) {
  auto line = std::make_unique<Line>();
  if (transport == Transport::kSocketPair) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    line->port = std::make_unique<Port>(Port::FromDescriptors(fds[0], fds[0], "socketpair"));
    line->resident = std::make_unique<FakeResident>(fds[1], largest, kBaud);
  } else {
    int master = -1, slave = -1;
    char name[64];
    EXPECT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    line->slave_keeper = slave;
    line->port = std::make_unique<Port>(Port::Open(name, kBaud));
    line->resident = std::make_unique<FakeResident>(master, largest, kBaud);
  }
  return line;
}

Bytes Slice(const std::vector<uint8_t>& memory, size_t address, size_t count) {
  return Bytes(memory.begin() + static_cast<ptrdiff_t>(address),
               memory.begin() + static_cast<ptrdiff_t>(address + count));
}

void FillCode(FakeResident& resident) {
  for (size_t i = 0; i < resident.code.size(); ++i) {
    resident.code[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  }
}

class LinkFaults : public ::testing::TestWithParam<Transport> {};

TEST_P(LinkFaults, ReadsInChunksOfTheLargestPayload) {
  auto line = MakeLine(GetParam(), 64);
  FillCode(*line->resident);
  line->Connect();
  const auto info = line->link->Identify();
  EXPECT_EQ(info.largest_payload, 64);
  const Bytes got = line->link->Read(Space::kCode, 0x1000, 300);
  EXPECT_EQ(got, Slice(line->resident->code, 0x1000, 300));
  // identify + 300 / 64 rounded up.
  EXPECT_EQ(line->resident->requests(), 1u + 5u);
  EXPECT_EQ(line->link->retries_done(), 0u);
}

struct FaultCase {
  const char* name;
  std::vector<Fault> script;
  size_t retries;
};

TEST_P(LinkFaults, RecoversFromOneBadAnswer) {
  const FaultCase cases[] = {
      {"no answer", {Fault::kSilent}, 1},
      {"damaged frame", {Fault::kBadSum}, 1},
      {"frame cut short", {Fault::kCutShort}, 1},
      {"two in a row", {Fault::kCutShort, Fault::kBadSum}, 2},
  };
  for (const auto& c : cases) {
    auto line = MakeLine(GetParam());
    FillCode(*line->resident);
    line->Connect();
    line->link->Identify();
    line->resident->Script(c.script);
    const Bytes got = line->link->Read(Space::kCode, 0x8000, 200);
    EXPECT_EQ(got, Slice(line->resident->code, 0x8000, 200)) << c.name;
    EXPECT_EQ(line->link->retries_done(), c.retries) << c.name;
  }
}

TEST_P(LinkFaults, GivesUpAfterTheRetriesWithOneLine) {
  struct Case {
    const char* name;
    Fault fault;
    const char* message;
  };
  const Case cases[] = {
      {"silent resident", Fault::kSilent, "no answer from the resident on "},
      {"every answer damaged", Fault::kBadSum, "damaged answers from the resident"},
      {"every answer cut short", Fault::kCutShort, "damaged answers from the resident"},
  };
  for (const auto& c : cases) {
    auto line = MakeLine(GetParam());
    line->resident->AlwaysFault(c.fault);
    line->Connect(2);
    try {
      line->link->Identify();
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.status(), kExitFailure) << c.name;
      EXPECT_NE(std::string(failure.what()).find(c.message), std::string::npos)
          << c.name << ": " << failure.what();
      EXPECT_EQ(std::string(failure.what()).find('\n'), std::string::npos) << c.name;
    }
    EXPECT_EQ(line->resident->requests(), 3u) << c.name;
  }
}

TEST_P(LinkFaults, ProgramOutputAroundAnswersIsPassedOnWhole) {
  auto line = MakeLine(GetParam());
  FillCode(*line->resident);
  // Text with the start marker in it, and bytes that begin like an answer.
  const Bytes before = Text("count \xA5\x82 ");
  const Bytes after = Text("\xA5 done\r\n");
  line->resident->SetChatter(before, after);
  line->Connect();
  line->link->Identify();
  const Bytes got = line->link->Read(Space::kCode, 0x0100, 600);
  EXPECT_EQ(got, Slice(line->resident->code, 0x100, 600));
  // The last answer's trailing text may still be on its way.
  line->link->Listen(Clock::now() + std::chrono::milliseconds(100));
  Bytes expected;
  for (int i = 0; i < 4; ++i) {  // identify and three reads
    expected.insert(expected.end(), before.begin(), before.end());
    expected.insert(expected.end(), after.begin(), after.end());
  }
  EXPECT_EQ(line->output, expected);
  EXPECT_EQ(line->link->retries_done(), 0u);
}

TEST_P(LinkFaults, LineClosingInTheMiddleOfAReadEndsAtOnce) {
  auto line = MakeLine(GetParam(), 64);
  line->resident->Script({Fault::kNone, Fault::kNone, Fault::kClose});
  line->Connect();
  line->link->Identify();
  try {
    line->link->Read(Space::kXram, 0, 1000);
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), kExitFailure);
    EXPECT_NE(std::string(failure.what()).find("went away"), std::string::npos) << failure.what();
  }
  // Not after the retries' time-outs: the line's end is noticed as it comes.
  EXPECT_EQ(line->link->retries_done(), 0u);
}

TEST_P(LinkFaults, WritesCarryTheAddressCheckAndLand) {
  auto line = MakeLine(GetParam(), 64);
  line->Connect();
  line->link->Identify();
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xFF - i);
  line->link->Write(Space::kXram, 0x1234, data);
  EXPECT_EQ(Slice(line->resident->xram, 0x1234, 100), data);
  // 100 bytes in chunks of 64 - 3.
  EXPECT_EQ(line->resident->requests(), 1u + 2u);
  line->link->Write(Space::kIram, 0x30, Bytes{0x5A, 0xA5});
  EXPECT_EQ(line->resident->iram[0x30], 0x5A);
  EXPECT_EQ(line->resident->iram[0x31], 0xA5);
  line->link->Write(Space::kSfr, 0x90, Bytes{0x0F});
  EXPECT_EQ(line->resident->sfr[0x90], 0x0F);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkFaults,
                         ::testing::Values(Transport::kSocketPair, Transport::kPseudoTerminal),
                         [](const auto& p) {
                           return p.param == Transport::kSocketPair ? "SocketPair"
                                                                    : "PseudoTerminal";
                         });

}  // namespace
}  // namespace tarlek::mon
