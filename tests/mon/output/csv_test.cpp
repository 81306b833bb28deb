// CSV as a watch's log and a plot's download write it: fields quoted only
// where a reader needs them.
#include "mon/output/csv.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tarlek::mon {
namespace {

TEST(Csv, FieldsQuotedOnlyWhereTheyMustBe) {
  const std::pair<std::string, std::string> fields[] = {
      {"plain", "plain"},
      {"", ""},
      {" spaces stay ", " spaces stay "},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\r", "\"cr\r\""},
      {"crlf\r\n", "\"crlf\r\n\""},
      {"{temp: 21, scale: 1.5}", "\"{temp: 21, scale: 1.5}\""},
  };
  for (const auto& [text, field] : fields) EXPECT_EQ(CsvField(text), field) << text;

  EXPECT_EQ(CsvLine({"time", "a,b", "say \"x\"", ""}), "time,\"a,b\",\"say \"\"x\"\"\",\n");
  EXPECT_EQ(CsvLine({}), "\n");
}

}  // namespace
}  // namespace tarlek::mon
