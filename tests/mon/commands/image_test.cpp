// dump and verify against the fake resident: the ranges that differ, and a
// file name that is not UTF-8 in --json output.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/image_file.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::ReadFile;
using testing::Session;
using testing::TempDir;

TEST(Commands, VerifyNamesTheDifferingRanges) {
  TempDir dir;
  Session s;
  Segment file{0x8000, protocol::Bytes(100)};
  for (size_t i = 0; i < file.data.size(); ++i) file.data[i] = static_cast<uint8_t>(i + 1);
  std::copy(file.data.begin(), file.data.end(), s.resident->code.begin() + 0x8000);
  s.resident->code[0x8010] = 0xEE;
  s.resident->code[0x8011] = 0xEE;
  s.resident->code[0x8063] = 0x00;  // the last byte
  s.resident->code[0x8064] = 0x55;  // past the file: not compared
  WriteImageFile(dir / "p.hex", file);
  EXPECT_EQ(s.Run({"verify", dir / "p.hex"}), kExitDifferent);
  EXPECT_EQ(s.out,
            "differs at 8010h-8011h: file 11 12, chip EE EE\n"
            "differs at 8063h: file 64, chip 00\n"
            "3 of 100 bytes differ, in 2 ranges\n");

  Session json_run;
  std::copy(file.data.begin(), file.data.end(), json_run.resident->code.begin() + 0x8000);
  EXPECT_EQ(json_run.Run({"verify", "--json", dir / "p.hex"}), kExitOk);
  const auto j = nlohmann::json::parse(json_run.out);
  EXPECT_EQ(j["match"], true);
  EXPECT_EQ(j["bytes"], 100);
}

// --json output stays JSON whatever bytes a file name holds.
TEST(Commands, JsonWithAFileNameThatIsNotUtf8) {
  TempDir dir;
  const std::string name = "code\xFF\xFE.bin";
  const std::string path = dir / name;
  Session s;
  s.resident->code[0] = 0x02;
  EXPECT_EQ(s.Run({"dump", "--json", path, "--range", "0-0"}), kExitOk) << s.err;
  EXPECT_EQ(ReadFile(path), Bytes{0x02});
  nlohmann::json j;
  ASSERT_NO_THROW(j = nlohmann::json::parse(s.out)) << s.out;
  const auto bytes = j["file_bytes"].get<std::vector<uint8_t>>();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), path);
  EXPECT_NE(j["file"].get<std::string>().find("code"), std::string::npos);
}

}  // namespace
}  // namespace tarlek::mon
