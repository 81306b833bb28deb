// The frame codec: requests as the resident expects them byte for byte, and
// the decoder that separates good answer frames from the program's output.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/frame_bytes.h"

namespace tarlek::protocol {
namespace {

using testing::Cat;
using testing::Out;
using testing::Text;

Piece Good(uint8_t command, const Bytes& payload) {
  return Piece{Piece::kFrame, {}, Frame{command, payload}};
}

struct EncodeCase {
  const char* name;
  Bytes encoded;
  Bytes expected;
};

TEST(FrameEncode, RequestsMatchTheProtocolBytes) {
  const Bytes data = {0x11, 0x22};
  const EncodeCase cases[] = {
      {"identify", EncodeIdentify(), {0xA5, 0x01, 0x00, 0xFF}},
      {"read code 16 at 8000h",
       EncodeRead(Space::kCode, 0x8000, 0x10),
       {0xA5, 0x02, 0x03, 0x80, 0x00, 0x10, 0x6B}},
      {"read xram",
       EncodeRead(Space::kXram, 0x0102, 1),
       {0xA5, 0x03, 0x03, 0x01, 0x02, 0x01, 0xF6}},
      {"read iram", EncodeRead(Space::kIram, 0x48, 7), {0xA5, 0x05, 0x02, 0x48, 0x07, 0xAA}},
      {"read sfr", EncodeRead(Space::kSfr, 0x90, 1), {0xA5, 0x07, 0x02, 0x90, 0x01, 0x66}},
      // ACHK: 04 + 05 + 12 + 34 + ACHK == 0 -> B1; SUM covers the data.
      {"write xram",
       EncodeWrite(Space::kXram, 0x1234, data),
       {0xA5, 0x04, 0x05, 0x12, 0x34, 0xB1, 0x11, 0x22, 0xCD}},
      // 06 + 03 + 30 + ACHK == 0 -> C7.
      {"write iram",
       EncodeWrite(Space::kIram, 0x30, Bytes{0x5A}),
       {0xA5, 0x06, 0x03, 0x30, 0xC7, 0x5A, 0xA6}},
      {"write sfr",
       EncodeWrite(Space::kSfr, 0x90, Bytes{0xFF}),
       {0xA5, 0x08, 0x03, 0x90, 0x65, 0xFF, 0x01}},
      {"empty answer", EncodeAnswer(kWriteIram, {}), {0xA5, 0x86, 0x00, 0x7A}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.encoded, c.expected) << c.name;
}

TEST(FrameEncode, EveryFrameSumsToZeroAfterTheMarker) {
  Bytes payload(255);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  const Bytes frame = EncodeAnswer(kReadCode, payload);
  ASSERT_EQ(frame.size(), 259u);
  unsigned sum = 0;
  for (size_t i = 1; i < frame.size(); ++i) sum += frame[i];
  EXPECT_EQ(sum & 0xFF, 0u);
}

struct DecodeCase {
  const char* name;
  Bytes stream;
  std::vector<Piece> expected;  // after the whole stream and a flush
  size_t damaged;
};

TEST(FrameDecode, SeparatesFramesFromOutput) {
  const Bytes answer = EncodeAnswer(kReadCode, Bytes{1, 2, 3});
  const Bytes empty = EncodeAnswer(kWriteXram, {});
  Bytes bad_sum = answer;
  bad_sum.back() ^= 0x01;
  Bytes cut = answer;
  cut.resize(5);
  // LEN 9 above a largest payload of 8.
  const Bytes too_long = EncodeAnswer(kReadCode, Bytes(9, 0x42));
  const Bytes request = EncodeIdentify();

  const DecodeCase cases[] = {
      {"one good frame", answer, {Good(0x82, {1, 2, 3})}, 0},
      {"empty payload", empty, {Good(0x84, {})}, 0},
      {"two frames back to back", Cat({answer, empty}), {Good(0x82, {1, 2, 3}), Good(0x84, {})}, 0},
      {"text around a frame",
       Cat({Text("ab"), answer, Text("c\n")}),
       {Out(Text("ab")), Good(0x82, {1, 2, 3}), Out(Text("c\n"))},
       0},
      {"bad sum is output", bad_sum, {Out(bad_sum)}, 1},
      {"cut short is output after the flush", cut, {Out(cut)}, 1},
      {"LEN above the largest payload", too_long, {Out(too_long)}, 1},
      {"a request is not an answer", request, {Out(request)}, 0},
      {"A5h in the program's text", Text("x\xA5y\xA5\xA5z"), {Out(Text("x\xA5y\xA5\xA5z"))}, 0},
      {"A5h right before a frame",
       Cat({Bytes{0xA5}, answer}),
       {Out({0xA5}), Good(0x82, {1, 2, 3})},
       0},
      {"frame inside a damaged one",
       Cat({Bytes{0xA5, 0x82, 0x05, 0x00}, answer}),
       {Out({0xA5, 0x82, 0x05, 0x00}), Good(0x82, {1, 2, 3})},
       1},
      {"extra bytes after a frame",
       Cat({answer, Bytes{0x00, 0xFF}}),
       {Good(0x82, {1, 2, 3}), Out({0x00, 0xFF})},
       0},
      {"marker alone at the end",
       Cat({Text("ok"), Bytes{0xA5}}),
       {Out(Cat({Text("ok"), {0xA5}}))},
       0},
  };
  for (const auto& c : cases) {
    FrameDecoder decoder(FrameDecoder::Direction::kAnswers, 8);
    std::vector<Piece> got = decoder.Feed(c.stream);
    for (Piece& p : decoder.FlushPartial()) got.push_back(p);
    // Merge adjacent output pieces across the flush boundary.
    std::vector<Piece> merged;
    for (Piece& p : got) {
      if (!merged.empty() && merged.back().kind == Piece::kOutput && p.kind == Piece::kOutput) {
        merged.back().output.insert(merged.back().output.end(), p.output.begin(), p.output.end());
      } else {
        merged.push_back(p);
      }
    }
    EXPECT_EQ(merged, c.expected) << c.name;
    EXPECT_EQ(decoder.damaged_frames(), c.damaged) << c.name;
    EXPECT_FALSE(decoder.HasPartial()) << c.name;
  }
}

TEST(FrameDecode, SameResultFedOneByteAtATime) {
  const Bytes stream = Cat({Text("A\xA5"), EncodeAnswer(kReadIram, Bytes{0xA5, 0x85}),
                            Bytes{0xA5, 0x85, 0x01}, Text("tail")});
  FrameDecoder whole;
  const std::vector<Piece> at_once = whole.Feed(stream);

  FrameDecoder bytewise;
  std::vector<Piece> pieces;
  for (uint8_t b : stream) {
    for (Piece& p : bytewise.Feed(Bytes{b})) {
      if (!pieces.empty() && pieces.back().kind == Piece::kOutput && p.kind == Piece::kOutput) {
        pieces.back().output.insert(pieces.back().output.end(), p.output.begin(), p.output.end());
      } else {
        pieces.push_back(p);
      }
    }
  }
  EXPECT_EQ(pieces, at_once);
  // The held-back A5 85 01 't' 'a' has LEN 1 and a wrong sum: the marker and
  // everything after it came out as output.
  ASSERT_EQ(at_once.size(), 3u);
  EXPECT_EQ(at_once[1], Good(0x85, {0xA5, 0x85}));
}

TEST(FrameDecode, HoldsAPartialFrameUntilItCompletes) {
  const Bytes answer = EncodeAnswer(kReadSfr, Bytes{0x10, 0x20});
  FrameDecoder decoder;
  EXPECT_TRUE(decoder.Feed(std::span(answer).first(4)).empty());
  EXPECT_TRUE(decoder.HasPartial());
  const auto pieces = decoder.Feed(std::span(answer).subspan(4));
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0], Good(0x87, {0x10, 0x20}));
  EXPECT_FALSE(decoder.HasPartial());
}

TEST(FrameDecode, RequestDirectionTakesRequestsOnly) {
  FrameDecoder decoder(FrameDecoder::Direction::kRequests);
  const Bytes stream = Cat({EncodeAnswer(kIdentify, {}), EncodeIdentify()});
  const auto pieces = decoder.Feed(stream);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], Out(EncodeAnswer(kIdentify, {})));
  EXPECT_EQ(pieces[1], Good(kIdentify, {}));
}

TEST(Identify, ParsesTheDefaultBuild) {
  const Bytes payload = {0x02, 0x01, 0x02, 0x03, 0x80, 0x00, 0xA8, 0xC0,
                         0x00, 0x00, 0x00, 0x25, 0x80, 0xFF, 0x01, 0xFE};
  const auto info = ParseIdentify(payload);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->protocol, 2);
  EXPECT_EQ(info->major, 1);
  EXPECT_EQ(info->patch, 3);
  EXPECT_EQ(info->page, 0x80);
  EXPECT_EQ(info->clock_hz, 11059200u);
  EXPECT_EQ(info->baud, 9600u);
  EXPECT_EQ(info->largest_payload, 255);
  EXPECT_TRUE(info->Offers(kWriteSfr));
  EXPECT_FALSE(info->Offers(0));
  EXPECT_EQ(EncodeIdentifyPayload(*info), payload);
  EXPECT_FALSE(ParseIdentify(std::span(payload).first(15)).has_value());
}

struct RequestCase {
  const char* name;
  Bytes frame;  // as encoded
  bool accepted;
};

TEST(Request, ResidentSideChecks) {
  auto frame_of = [](const Bytes& encoded) {
    return Frame{encoded[1], Bytes(encoded.begin() + 3, encoded.end() - 1)};
  };
  Bytes bad_achk = EncodeWrite(Space::kIram, 0x30, Bytes{1});
  bad_achk[4] ^= 0x01;
  const RequestCase cases[] = {
      {"identify", EncodeIdentify(), true},
      {"identify with a payload", EncodeFrame(kIdentify, Bytes{0}), false},
      {"read code", EncodeRead(Space::kCode, 0xFFF0, 16), true},
      {"read of 0 bytes", EncodeRead(Space::kCode, 0, 0), false},
      {"read beyond the largest payload", EncodeRead(Space::kXram, 0, 65), false},
      {"sfr below 80h", EncodeRead(Space::kSfr, 0x7F, 1), false},
      {"sfr past FFh", EncodeRead(Space::kSfr, 0xF0, 17), false},
      {"sfr up to FFh", EncodeRead(Space::kSfr, 0xF0, 16), true},
      {"write iram", EncodeWrite(Space::kIram, 0x30, Bytes{1, 2}), true},
      {"write with a bad ACHK", bad_achk, false},
      {"write xram without data", EncodeFrame(kWriteXram, Bytes{0, 0, 0xFC}), false},
      {"unknown command", EncodeFrame(0x09, {}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseRequest(frame_of(c.frame), 64).has_value(), c.accepted) << c.name;
  }
  const auto write = ParseRequest(frame_of(EncodeWrite(Space::kXram, 0x1234, Bytes{7, 8})));
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->space, Space::kXram);
  EXPECT_EQ(write->address, 0x1234);
  EXPECT_EQ(write->data, (Bytes{7, 8}));
}

}  // namespace
}  // namespace tarlek::protocol
