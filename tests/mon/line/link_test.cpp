// Exchanges with a scripted fake resident on the other end of a socket pair
// or a pseudo-terminal: what the client does when answers are missing,
// damaged, cut short, mixed with the program's output, or the line goes away.
#include "mon/line/link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "base/failure.h"
#include "mon/support/fake_line.h"
#include "mon/support/fake_resident.h"

namespace tarlek::mon {
namespace {

using namespace std::chrono_literals;
using testing::FakeLine;
using testing::FakeLineOptions;
using testing::FakeResident;
using testing::Fault;
using testing::Transport;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Slice(const std::vector<uint8_t>& memory, size_t address, size_t count) {
  return Bytes(memory.begin() + static_cast<ptrdiff_t>(address),
               memory.begin() + static_cast<ptrdiff_t>(address + count));
}

void FillCode(FakeResident& resident) {
  for (size_t i = 0; i < resident.code.size(); ++i) {
    resident.code[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  }
}

// Runs body and returns the one-line message of the Failure it throws.
template <typename Body>
std::string FailureOf(Body&& body) {
  try {
    body();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), kExitFailure) << failure.what();
    const std::string message = failure.what();
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    return message;
  }
  return "(no failure)";
}

// Every case over both transports and both protocol versions.
class LinkFaults : public ::testing::TestWithParam<std::tuple<Transport, int>> {
 protected:
  Transport transport() const { return std::get<0>(GetParam()); }
  int version() const { return std::get<1>(GetParam()); }
  // A fast line (115200 baud unless asked otherwise) keeps the time-outs short.
  std::unique_ptr<FakeLine> Make(FakeLineOptions options = {}) const {
    options.transport = transport();
    options.version = version();
    return std::make_unique<FakeLine>(options);
  }
};

TEST_P(LinkFaults, ReadsInChunksOfTheLargestPayload) {
  auto line = Make({.largest_payload = 64});
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
    // A short slack, for the lost answers' time-outs, and retries to spare:
    // on a busy machine a good answer may come late too.
    auto line = Make({.retries = 4, .slack = 200ms});
    FillCode(*line->resident);
    line->Connect();
    line->link->Identify();
    line->resident->Script(c.script);
    const Bytes got = line->link->Read(Space::kCode, 0x8000, 200);
    EXPECT_EQ(got, Slice(line->resident->code, 0x8000, 200)) << c.name;
    EXPECT_GE(line->link->retries_done(), c.retries) << c.name;
  }
}

TEST_P(LinkFaults, GivesUpAfterTheRetriesWithOneLine) {
  // The slack of each case: short where the attempts end in their time-outs
  // (whatever comes late, the message is the same), patient where each
  // attempt ends on its damaged answer, and half a second where an answer must
  // come within its attempt's time-out to be told of (an answer that does
  // not fit, one damaged answer among none).
  constexpr std::chrono::milliseconds kShort = 200ms, kOneAnswerInTime = 500ms;
  struct Case {
    const char* name;
    Fault fault;
    bool after_identify;  // the fault from the first read on
    const char* message;
    std::chrono::milliseconds slack;
    std::vector<Fault> script = {};  // faults attempt by attempt instead of fault on all
  };
  const Case cases[] = {
      {"silent resident", Fault::kSilent, false, "no answer from the resident on ", kShort},
      {"every answer damaged", Fault::kBadSum, false, "damaged answers from the resident",
       testing::kPatientSlack},
      {"every answer cut short", Fault::kCutShort, false, "damaged answers from the resident",
       testing::kPatientSlack},
      // Good frames that do not fit the request are not "no answer".
      {"answers with another command", Fault::kWrongCommand, false,
       "answered command 01h with 82h and 16 bytes, not 81h and 16: its answers do not fit",
       kOneAnswerInTime},
      {"answers a byte short", Fault::kWrongLength, false,
       "answered command 01h with 81h and 15 bytes, not 81h and 16", kOneAnswerInTime},
      {"reads answered a byte short", Fault::kWrongLength, true,
       "answered command 05h with 85h and 3 bytes, not 85h and 4", kOneAnswerInTime},
      {"answers naming other attempts", Fault::kWrongSeq, true,
       "answered only after the time-out (3 attempts of ", kShort},
      // Damage in one attempt only is no sign of a wrong baud rate.
      {"the first answer damaged, then none",
       Fault::kNone,
       false,
       " s, 1 of them with a damaged answer: is the program running",
       kOneAnswerInTime,
       {Fault::kBadSum, Fault::kSilent, Fault::kSilent}},
      {"the last answer cut short, none before",
       Fault::kNone,
       true,
       " s, 1 of them with a damaged answer: is the program running",
       kOneAnswerInTime,
       {Fault::kSilent, Fault::kSilent, Fault::kCutShort}},
  };
  for (const auto& c : cases) {
    // Protocol 2's answers name no attempt.
    if (c.fault == Fault::kWrongSeq && version() == 2) continue;
    auto line = Make({.retries = 2, .slack = c.slack});
    line->Connect();
    // The request that fails; an identify before it may have needed a retry
    // on a busy machine.
    const uint8_t failing = c.after_identify ? protocol::kReadIram : protocol::kIdentify;
    if (c.after_identify) line->link->Identify();
    if (c.script.empty()) {
      line->resident->FaultCommand(failing, c.fault);
    } else {
      line->resident->Script(c.script);
    }
    const std::string message = FailureOf([&] {
      if (c.after_identify) {
        line->link->Read(Space::kIram, 0x40, 4);
      } else {
        line->link->Identify();
      }
    });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
    // The first attempt and two retries, each taken by the resident.
    line->resident->WaitForRequests(3, failing);
    EXPECT_EQ(line->resident->requests(failing), 3u) << c.name;
  }
}

TEST_P(LinkFaults, FindsTheVersionWithOneIdentifyThatTheOtherVersionIgnores) {
  auto line = Make();
  // Protocol 3 lets identify carry more than 16 bytes: a host ignores them.
  line->resident->identify_tail = {0xC0, 0xDB, 0xA5, 0x77};
  line->resident->iram[0x40] = 0x66;
  line->Connect();
  const auto info = line->link->Identify();
  EXPECT_EQ(line->link->version(), version());
  EXPECT_EQ(info.protocol, version());
  EXPECT_EQ(info.largest_payload, 255);
  EXPECT_EQ(info.clock_hz, 11059200u);
  // The resident took one request: the other version's identify was
  // nothing to it.
  EXPECT_EQ(line->resident->requests(), 1u);
  EXPECT_EQ(line->link->Read(Space::kIram, 0x40, 1), Bytes{0x66});
  EXPECT_EQ(line->link->retries_done(), 0u);
  EXPECT_TRUE(line->output.empty());
}

TEST_P(LinkFaults, NonsenseInTheIdentifyAnswerIsRefusedInOneLine) {
  struct Case {
    const char* name;
    std::function<void(IdentifyInfo&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"largest payload 0", [](IdentifyInfo& i) { i.largest_payload = 0; },
       "makes no sense (a largest payload of 0 bytes, less than its own identify answer (16))"},
      {"largest payload 2", [](IdentifyInfo& i) { i.largest_payload = 2; },
       "a largest payload of 2 bytes"},
      {"largest payload 15", [](IdentifyInfo& i) { i.largest_payload = 15; },
       "a largest payload of 15 bytes"},
      {"identify not among the commands", [](IdentifyInfo& i) { i.commands = 0x01FC; },
       "commands 01FCh, without identify or with a command 0"},
      {"no crystal", [](IdentifyInfo& i) { i.clock_hz = 0; }, "115200 baud from a 0 Hz crystal"},
      {"a rate the crystal cannot make", [](IdentifyInfo& i) { i.clock_hz = 1000000; },
       "115200 baud from a 1000000 Hz crystal"},
      {"a later protocol", [](IdentifyInfo& i) { i.protocol = 4; },
       "speaks protocol 4; tarlek-mon speaks 2 and 3"},
      {"an earlier protocol", [](IdentifyInfo& i) { i.protocol = 1; }, "speaks protocol 1;"},
      {"the other version's number in this version's frame",
       [this](IdentifyInfo& i) { i.protocol = static_cast<uint8_t>(5 - version()); },
       "it says protocol " + std::to_string(5 - version()) + " in a protocol " +
           std::to_string(version()) + " frame"},
  };
  for (const auto& c : cases) {
    auto line = Make();
    c.change(line->resident->info);
    line->Connect();
    const std::string message = FailureOf([&] { line->link->Identify(); });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
    // Refused at the first answer: nothing to retry.
    EXPECT_EQ(line->link->retries_done(), 0u) << c.name;
  }
}

// A retried request's first answer may still come after the time-out. It
// must never be taken for the answer to a later request: in protocol 3 it
// names another attempt; in protocol 2 the link waits, after a retry, until
// no answer has come for a whole time-out.
TEST_P(LinkFaults, ALateAnswerIsNeverTakenForAnotherRequest) {
  struct Case {
    const char* name;
    size_t late_after;  // requests after which the held answer goes out
    bool protocol2;     // protocol 2 can keep this apart too
  };
  const Case cases[] = {
      // The first attempt's answer comes during the second attempt; in
      // protocol 2 the second attempt's then comes during the next chunk.
      {"during the next attempt", 1, true},
      // After the retry was answered, during the next chunk's request.
      {"during the next chunk", 2, false},
  };
  for (const auto& c : cases) {
    if (version() == 2 && !c.protocol2) continue;
    // Each answer after its line time, so that the second of two answers
    // sent back to back is still coming when the first is taken. The slack
    // is the time-out's that brings the retry, and in protocol 2 the wait
    // after it; long enough that a busy machine keeps the held answers in
    // their turn.
    auto line = Make({.largest_payload = 64, .baud = 9600, .retries = 2, .slack = 1000ms});
    FillCode(*line->resident);
    line->resident->SetPacing(testing::Pacing::kWholeAnswers);
    line->Connect();
    line->link->Identify();
    line->resident->SetLateAfter(c.late_after);
    line->resident->Script({Fault::kLate});
    // Three chunks of the same length: a shifted answer would fit.
    const Bytes got = line->link->Read(Space::kCode, 0x2000, 192);
    EXPECT_EQ(got, Slice(line->resident->code, 0x2000, 192)) << c.name;
    // At least the one retry and the one late answer (a loaded machine may
    // stall the fake long enough for more).
    EXPECT_GE(line->link->retries_done(), 1u) << c.name;
    EXPECT_GE(line->link->late_answers(), 1u) << c.name;
  }
}

// At 2400 baud a 255-byte answer takes 1.1 s on the line, and with no slack
// at all the time-out is the line time alone: it must count the answer's,
// or every attempt is lost (three times the line time leaves a busy machine
// 2.2 s).
TEST_P(LinkFaults, AFullChunkAtTheLineRateNeedsNoRetry) {
  auto line = Make({.largest_payload = 255, .baud = 2400, .retries = 2, .slack = 0ms});
  FillCode(*line->resident);
  line->Connect();
  line->link->Identify();
  line->resident->SetPacing(testing::Pacing::kWholeAnswers);
  EXPECT_EQ(line->link->Read(Space::kCode, 0x4000, 255), Slice(line->resident->code, 0x4000, 255));
}

TEST_P(LinkFaults, ProgramOutputAroundAnswersIsPassedOnWhole) {
  auto line = Make();
  FillCode(*line->resident);
  // Text with the start marker in it, and bytes that begin like an answer.
  const Bytes before = Text("count \xA5\x82 \xC0 ");
  const Bytes after = Text("\xA5 done\r\n");
  line->resident->SetChatter(before, after);
  line->Connect();
  line->link->Identify();
  const Bytes got = line->link->Read(Space::kCode, 0x0100, 600);
  EXPECT_EQ(got, Slice(line->resident->code, 0x100, 600));
  Bytes expected;
  for (int i = 0; i < 4; ++i) {  // identify and three reads
    expected.insert(expected.end(), before.begin(), before.end());
    expected.insert(expected.end(), after.begin(), after.end());
  }
  // The last answer's trailing text may still be on its way.
  line->WaitForOutput(expected.size());
  EXPECT_EQ(line->output, expected);
  EXPECT_EQ(line->link->retries_done(), 0u);
}

TEST_P(LinkFaults, LineClosingInTheMiddleOfAReadEndsAtOnce) {
  auto line = Make({.largest_payload = 64});
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
  auto line = Make({.largest_payload = 64});
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
  EXPECT_EQ(line->link->Write(Space::kSfr, 0x90, Bytes{0x0F}),
            version() == 3 ? Bytes{0x00} : Bytes{});
  EXPECT_EQ(line->resident->sfr[0x90], 0x0F);

  // SFRs 80h-BFh in two chunks, over SP, SBUF and IE (EA and ES set): a
  // protocol 3 resident answers one byte per SFR, the bits it kept.
  line->resident->sfr[0xA8] = 0x92;
  const Bytes kept = line->link->Write(Space::kSfr, 0x80, Bytes(64, 0x00));
  if (version() == 3) {
    Bytes expected(64);
    expected[0x81 - 0x80] = 0xFF;  // SP
    expected[0x87 - 0x80] = 0x80;  // PCON
    expected[0x88 - 0x80] = 0x40;  // TCON
    expected[0x98 - 0x80] = 0xDB;  // SCON
    expected[0x99 - 0x80] = 0xFF;  // SBUF
    expected[0xA8 - 0x80] = 0x90;  // IE
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(line->resident->sfr[0xA8], 0x90);
  } else {
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(line->resident->sfr[0xA8], 0x10);
  }
}

// A protocol 3 resident takes up to 135 machine cycles for a data byte of an
// internal RAM or SFR write; where the line brings a byte sooner (115200 baud
// at 11.0592 MHz: 80 cycles), such writes go one data byte per request, and
// every other write and every slower line keeps whole chunks.
TEST_P(LinkFaults, WritesThatOutrunTheResidentGoOneByteARequest) {
  struct Case {
    uint32_t baud;
    Space space;
    bool paced;  // in protocol 3
  };
  const Case cases[] = {
      {115200, Space::kIram, true}, {115200, Space::kSfr, true}, {115200, Space::kXram, false},
      {57600, Space::kIram, false}, {57600, Space::kSfr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.baud << " baud, space " << static_cast<int>(c.space));
    auto line = Make({.largest_payload = 255, .baud = c.baud});
    line->Connect();
    line->link->Identify();
    const Bytes data{0x11, 0x22, 0x33, 0x44, 0x55};
    const uint32_t address = c.space == Space::kSfr ? 0xB0 : 0x30;
    const Bytes kept = line->link->Write(c.space, address, data);
    const size_t requests = version() == 3 && c.paced ? data.size() : 1;
    EXPECT_EQ(line->resident->requests(), 1u + requests);
    EXPECT_EQ(Slice(c.space == Space::kSfr    ? line->resident->sfr
                    : c.space == Space::kIram ? line->resident->iram
                                              : line->resident->xram,
                    address, data.size()),
              data);
    EXPECT_EQ(kept, version() == 3 && c.space == Space::kSfr ? Bytes(data.size()) : Bytes{});
  }
}

// The identify that finds the version must hold no A5h besides protocol 2's
// own identify, or a 2.0.0 resident starts a frame there and drops the
// identify after it. SEQ 5Ah would give protocol 3's identify a SUM of A5h.
TEST(LinkVersion, TheProbeHoldsNoA5hWhateverItsSeq) {
  FakeLine line({.version = 2, .slack = 20ms, .first_seq = 0x5A});
  line.resident->AlwaysFault(Fault::kSilent);
  Link& link = line.Connect();
  FailureOf([&] { link.Identify(); });
  ASSERT_TRUE(line.resident->WaitForRequests(3));
  const Bytes got = line.resident->received();
  const Bytes v2_identify = protocol::EncodeIdentify();
  size_t identifies = 0;
  for (auto at = got.begin(); (at = std::find(at, got.end(), protocol::kStart)) != got.end();
       ++at) {
    const bool whole = got.end() - at >= static_cast<ptrdiff_t>(v2_identify.size());
    EXPECT_TRUE(whole && std::equal(v2_identify.begin(), v2_identify.end(), at))
        << "an A5h outside protocol 2's identify, at byte " << at - got.begin();
    ++identifies;
  }
  EXPECT_EQ(identifies, 3u);
}

INSTANTIATE_TEST_SUITE_P(TransportsAndVersions, LinkFaults,
                         ::testing::Combine(::testing::Values(Transport::kSocketPair,
                                                              Transport::kPseudoTerminal),
                                            ::testing::Values(3, 2)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param) == Transport::kSocketPair
                                                  ? "SocketPair"
                                                  : "PseudoTerminal") +
                                  "_Protocol" + std::to_string(std::get<1>(p.param));
                         });

}  // namespace
}  // namespace tarlek::mon
