// The event stream's messages, framed as browsers read them.
#include "mon/web/sse.h"

#include <gtest/gtest.h>

#include <optional>

namespace tarlek::plot {
namespace {

TEST(PlotSse, MessagesFramedAsBrowsersReadThem) {
  struct Case {
    const char* data;
    const char* event;
    std::optional<uint64_t> id;
    const char* framed;
  };
  const Case cases[] = {
      {R"({"a":1})", "", std::nullopt, "data: {\"a\":1}\n\n"},
      {"x", "sample", 7, "id: 7\nevent: sample\ndata: x\n\n"},
      // Every kind of line break starts a data line of its own; a trailing
      // one leaves an empty last line, which keeps it in the joined text.
      {"one\ntwo\r\nthree\rfour", "", std::nullopt,
       "data: one\ndata: two\ndata: three\ndata: four\n\n"},
      {"end\n", "", std::nullopt, "data: end\ndata: \n\n"},
      {"", "", std::nullopt, "data: \n\n"},
      // A line break in the event's name would end the field early.
      {"x", "bad\nname", std::nullopt, "event: badname\ndata: x\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SseMessage(c.data, c.event, c.id), c.framed) << c.data;
  }
  EXPECT_EQ(SseComment("still\nhere"), ": stillhere\n\n");
}

}  // namespace
}  // namespace tarlek::plot
