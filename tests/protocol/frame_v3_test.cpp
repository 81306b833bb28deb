// Protocol 3's frames: requests byte for byte with their escapes, and the
// decoder that takes only whole, good frames and gives every other byte back
// as the program's output, as it came.
#include "protocol/frame_v3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "protocol/frame_bytes.h"

namespace tarlek::protocol::v3 {
namespace {

using testing::Cat;
using testing::Out;
using testing::Text;

Piece Good(uint8_t command, uint8_t seq, const Bytes& payload) {
  return Piece{Piece::kFrame, {}, Frame{command, payload, seq}};
}

// Adjacent output pieces as one, across Feed and FlushPartial.
std::vector<Piece> Merged(const std::vector<Piece>& pieces) {
  std::vector<Piece> merged;
  for (const Piece& p : pieces) {
    if (!merged.empty() && merged.back().kind == Piece::kOutput && p.kind == Piece::kOutput) {
      merged.back().output.insert(merged.back().output.end(), p.output.begin(), p.output.end());
    } else {
      merged.push_back(p);
    }
  }
  return merged;
}

TEST(FrameV3Encode, RequestsAndAnswersMatchTheProtocolBytes) {
  const struct {
    const char* name;
    Bytes encoded;
    Bytes expected;
  } cases[] = {
      // 01 + 10 + 00 + EF == 100h.
      {"identify", EncodeIdentify(0x10), {0xC0, 0x01, 0x10, 0x00, 0xEF}},
      {"read code 16 at 8000h",
       EncodeRead(Space::kCode, 0x8000, 0x10, 0x01),
       {0xC0, 0x02, 0x01, 0x03, 0x80, 0x00, 0x10, 0x6A}},
      // ACHK sums SEQ too: 06 + 07 + 03 + 30 + ACHK == 0 -> C0h, escaped.
      {"write iram, ACHK escaped",
       EncodeWrite(Space::kIram, 0x30, Bytes{0x5A}, 0x07),
       {0xC0, 0x06, 0x07, 0x03, 0x30, 0xDB, 0xDC, 0x5A, 0xA6}},
      // SEQ C0h and a body byte DBh: each escaped; SUM over the plain bytes.
      {"answer with both escapes",
       EncodeAnswer(kReadCode, 0xC0, Bytes{0xDB, 0x01}),
       {0xC0, 0x82, 0xDB, 0xDC, 0x02, 0xDB, 0xDD, 0x01, 0xE0}},
      {"empty sfr-write answer", EncodeAnswer(kWriteSfr, 0xFF, {}), {0xC0, 0x88, 0xFF, 0x00, 0x79}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.encoded, c.expected) << c.name;
}

TEST(FrameV3Encode, EveryFrameComesBackWholeWithoutAStartByteInside) {
  Bytes body(255);
  for (size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<uint8_t>(0xC0 + (i % 3 == 0 ? 0x1B : 0));
  for (unsigned seq = 0; seq < 256; ++seq) {
    const Bytes frame = EncodeAnswer(kReadXram, static_cast<uint8_t>(seq), body);
    ASSERT_LE(frame.size(), LongestOnLine(body.size()));
    EXPECT_EQ(std::count(frame.begin(), frame.end(), kFrameStart), 1) << seq;
    FrameDecoder decoder;
    EXPECT_EQ(decoder.Feed(frame),
              (std::vector<Piece>{Good(0x83, static_cast<uint8_t>(seq), body)}))
        << seq;
    EXPECT_FALSE(decoder.HasPartial());
  }
}

TEST(FrameV3Decode, SeparatesFramesFromOutput) {
  const Bytes answer = EncodeAnswer(kReadCode, 0x21, Bytes{1, 0xC0, 3});
  const Bytes empty = EncodeAnswer(kWriteXram, 0x22, {});
  Bytes bad_sum = answer;
  bad_sum.back() ^= 0x01;
  Bytes cut = answer;
  cut.resize(5);
  const Bytes too_long = EncodeAnswer(kReadCode, 0x23, Bytes(9, 0x42));
  const Bytes request = EncodeIdentify(0x24);
  // DBh followed by neither DCh nor DDh.
  const Bytes bad_escape = {0xC0, 0x82, 0xDB, 0x41, 0x42};
  // Cut short right after an escape byte: the byte after it starts afresh.
  const Bytes cut_at_escape = {0xC0, 0x82, 0xDB};

  const struct {
    const char* name;
    Bytes stream;
    std::vector<Piece> expected;  // after the whole stream and a flush
    size_t damaged;
  } cases[] = {
      {"one good frame", answer, {Good(0x82, 0x21, {1, 0xC0, 3})}, 0},
      {"empty body", empty, {Good(0x84, 0x22, {})}, 0},
      {"two frames back to back",
       Cat({answer, empty}),
       {Good(0x82, 0x21, {1, 0xC0, 3}), Good(0x84, 0x22, {})},
       0},
      {"text around a frame",
       Cat({Text("ab"), answer, Text("c\n")}),
       {Out(Text("ab")), Good(0x82, 0x21, {1, 0xC0, 3}), Out(Text("c\n"))},
       0},
      {"the program's C0h right before a frame",
       Cat({Text("x\xC0y"), answer}),
       {Out(Text("x\xC0y")), Good(0x82, 0x21, {1, 0xC0, 3})},
       0},
      {"a frame cut short by the next one",
       Cat({cut, answer}),
       {Out(cut), Good(0x82, 0x21, {1, 0xC0, 3})},
       1},
      {"bad sum is output", bad_sum, {Out(bad_sum)}, 1},
      {"cut short is output after the flush", cut, {Out(cut)}, 1},
      {"LEN above the largest payload", too_long, {Out(too_long)}, 1},
      {"bad escape drops the frame", bad_escape, {Out(bad_escape)}, 1},
      {"a frame cut short after DBh by the next one",
       Cat({cut_at_escape, answer}),
       {Out(cut_at_escape), Good(0x82, 0x21, {1, 0xC0, 3})},
       1},
      {"a request is not an answer", request, {Out(request)}, 0},
      {"protocol 2's bytes are output",
       Bytes{0xA5, 0x81, 0x00, 0x7F},
       {Out({0xA5, 0x81, 0x00, 0x7F})},
       0},
      {"C0h alone at the end", Cat({Text("ok"), Bytes{0xC0}}), {Out(Cat({Text("ok"), {0xC0}}))}, 0},
  };
  for (const auto& c : cases) {
    FrameDecoder decoder(FrameDecoder::Direction::kAnswers, 8);
    std::vector<Piece> got = decoder.Feed(c.stream);
    for (Piece& p : decoder.FlushPartial()) got.push_back(p);
    EXPECT_EQ(Merged(got), c.expected) << c.name;
    EXPECT_EQ(decoder.damaged_frames(), c.damaged) << c.name;
    EXPECT_FALSE(decoder.HasPartial()) << c.name;

    // Byte by byte, the same.
    FrameDecoder bytewise(FrameDecoder::Direction::kAnswers, 8);
    std::vector<Piece> pieces;
    for (uint8_t b : c.stream) {
      for (Piece& p : bytewise.Feed(Bytes{b})) pieces.push_back(p);
    }
    for (Piece& p : bytewise.FlushPartial()) pieces.push_back(p);
    EXPECT_EQ(Merged(pieces), c.expected) << c.name << " (byte by byte)";
  }
}

TEST(FrameV3Decode, HoldsAPartialFrameAcrossAnEscape) {
  const Bytes answer = EncodeAnswer(kReadSfr, 0xDB, Bytes{0x10, 0x20});
  ASSERT_EQ(answer[2], kEscape);
  FrameDecoder decoder;
  EXPECT_TRUE(decoder.Feed(std::span(answer).first(3)).empty());
  EXPECT_TRUE(decoder.HasPartial());
  EXPECT_EQ(decoder.Feed(std::span(answer).subspan(3)),
            (std::vector<Piece>{Good(0x87, 0xDB, {0x10, 0x20})}));
  EXPECT_FALSE(decoder.HasPartial());
}

TEST(FrameV3Decode, AFlushAfterAnEscapeLeavesTheNextFrameWhole) {
  // The line went quiet right after a DBh: what came is output, and the
  // answer that follows is taken as it is.
  const Bytes answer = EncodeAnswer(kReadSfr, 0x31, Bytes{0x10, 0x20});
  FrameDecoder decoder;
  EXPECT_TRUE(decoder.Feed(Bytes{0xC0, 0x87, 0xDB}).empty());
  EXPECT_EQ(decoder.FlushPartial(), (std::vector<Piece>{Out({0xC0, 0x87, 0xDB})}));
  EXPECT_EQ(decoder.Feed(answer), (std::vector<Piece>{Good(0x87, 0x31, {0x10, 0x20})}));
  EXPECT_EQ(decoder.damaged_frames(), 1u);
}

TEST(FrameV3Request, ResidentSideTakesRequestsWithTheirSeqInTheAddressCheck) {
  FrameDecoder decoder(FrameDecoder::Direction::kRequests);
  const Bytes write = EncodeWrite(Space::kXram, 0x1234, Bytes{7, 8}, 0x99);
  const auto pieces = decoder.Feed(Cat({EncodeAnswer(kIdentify, 1, {}), write}));
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].kind, Piece::kOutput);
  ASSERT_EQ(pieces[1].kind, Piece::kFrame);
  const auto request = ParseRequest(pieces[1].frame);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->address, 0x1234);
  EXPECT_EQ(request->data, (Bytes{7, 8}));
  // The same body under another SEQ fails its address check.
  Frame other = pieces[1].frame;
  other.seq = 0x98;
  EXPECT_FALSE(ParseRequest(other).has_value());
}

TEST(FrameV3Probe, TheVersionProbeHoldsNoA5h) {
  // SEQ A5h itself, and 5Ah, whose SUM is A5h, cannot be used.
  EXPECT_FALSE(IdentifyFitsVersionProbe(0xA5));
  EXPECT_FALSE(IdentifyFitsVersionProbe(0x5A));
  EXPECT_TRUE(IdentifyFitsVersionProbe(0x10));
  EXPECT_TRUE(IdentifyFitsVersionProbe(0xC0));  // escaped, still no A5h
}

}  // namespace
}  // namespace tarlek::protocol::v3
