// tarlek-mon plot's server pieces: the listen address, the event stream's
// framing, the recording and its CSV, and the server itself on the loopback
// address (its streams, their resumption, their limit and a stop with a
// stream open).
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <future>
#include <thread>

#include "mon/web/listen.h"
#include "mon/web/page.h"
#include "mon/web/recording.h"
#include "mon/web/server.h"
#include "mon/web/sse.h"
#include "support/test_support.h"

namespace tarlek::plot {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::ordered_json;

// A sample without text for the table.
Sample At(double time, json values) { return {time, std::move(values), json()}; }

TEST(PlotListen, AddressesAsTyped) {
  struct Case {
    const char* text;
    const char* host;
    uint16_t port;
  };
  const Case accepted[] = {
      {"127.0.0.1:8080", "127.0.0.1", 8080},
      {"0.0.0.0:0", "0.0.0.0", 0},
      {":9000", "127.0.0.1", 9000},
      {"localhost", "localhost", 0},
      {"[::1]:65535", "::1", 65535},
      {"[::1]", "::1", 0},
      {"::1", "::1", 0},
      {"192.168.1.2:00080", "192.168.1.2", 80},
  };
  for (const Case& c : accepted) {
    const auto parsed = ParseListen(c.text);
    ASSERT_TRUE(std::holds_alternative<ListenAddress>(parsed))
        << c.text << ": " << std::get<std::string>(parsed);
    EXPECT_EQ(std::get<ListenAddress>(parsed), (ListenAddress{c.host, c.port})) << c.text;
  }
  const char* refused[] = {"",        ":",       "host:",       "host:65536",
                           "host:-1", "host:8o", "host:123456", "[::1",
                           "[]:80",   "[::1]80", "a b:80",      "http://x:80"};
  for (const char* text : refused) {
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseListen(text))) << text;
  }
}

TEST(PlotListen, LoopbackHostsAndTheAddressToOpen) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) {
    EXPECT_TRUE(IsLoopback(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "::", "192.168.1.2", "127", "localhost.example.com",
                           "evil127.0.0.1", "127.example.com"}) {
    EXPECT_FALSE(IsLoopback(host)) << host;
  }
  EXPECT_EQ(PageUrl("127.0.0.1", 8080), "http://127.0.0.1:8080/");
  EXPECT_EQ(PageUrl("::1", 80), "http://[::1]:80/");
  EXPECT_EQ(PageUrl("0.0.0.0", 81), "http://127.0.0.1:81/");
  EXPECT_EQ(PageUrl("::", 82), "http://[::1]:82/");

  // A page of another site that reaches 127.0.0.1 under its own name is
  // turned away; a server meant for the network takes any name.
  struct Case {
    const char* header;
    bool loopback_server;
    bool accepted;
  };
  const Case cases[] = {
      {"127.0.0.1:5000", true, true}, {"localhost:5000", true, true},    {"[::1]:5000", true, true},
      {"localhost", true, true},      {"example.com:5000", true, false}, {"", true, false},
      {"[::1", true, false},          {"example.com", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostAccepted(c.header, c.loopback_server), c.accepted) << c.header;
  }
}

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

TEST(PlotCsv, FieldsAndValues) {
  const std::pair<std::string, std::string> fields[] = {
      {"plain", "plain"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\r", "\"cr\r\""},
      {"", ""},
  };
  for (const auto& [text, field] : fields) EXPECT_EQ(CsvField(text), field) << text;

  const std::pair<json, std::string> values[] = {
      {json(), ""},
      {json(4660), "4660"},
      {json(-3), "-3"},
      {json(1.5), "1.5"},
      {json(true), "true"},
      {json("a,b"), "\"a,b\""},
      {json{{"temp", 21.5}, {"raw", 300}}, R"("{""temp"":21.5,""raw"":300}")"},
      {json::array({1, 2}), "\"[1,2]\""},
  };
  for (const auto& [value, cell] : values) EXPECT_EQ(CsvValue(value), cell) << value.dump();
}

TEST(PlotRecording, CsvHoldsWhatWasKept) {
  Recording recording({"counter", "a,b", "missing"}, 2);
  recording.Add(At(0.0004, json{{"counter", 1}, {"a,b", 2.5}}));
  recording.Add(At(0.1, json{{"counter", 2}, {"a,b", -1}}));
  recording.Add(At(1.23456, json{{"counter", 3}, {"a,b", "x"}}));
  // Past its room the oldest sample goes, and the count stays whole.
  EXPECT_EQ(recording.count(), 3u);
  EXPECT_EQ(recording.dropped(), 1u);
  EXPECT_EQ(recording.Csv(),
            "time,counter,\"a,b\",missing\n"
            "0.100,2,-1,\n"
            "1.235,3,x,\n");
}

TEST(PlotRecording, WaitFromNumbersTheSamples) {
  Recording recording({"v"}, 3);
  for (int i = 0; i < 5; ++i) recording.Add(At(i * 1.0, json{{"v", i}}));
  // Samples 0 and 1 have gone: a reader behind gets the oldest kept.
  auto batch = recording.WaitFrom(0, 10, 0ms);
  EXPECT_EQ(batch.first, 2u);
  ASSERT_EQ(batch.samples.size(), 3u);
  EXPECT_EQ(batch.samples[0].values["v"], 2);
  batch = recording.WaitFrom(3, 1, 0ms);
  EXPECT_EQ(batch.first, 3u);
  ASSERT_EQ(batch.samples.size(), 1u);
  EXPECT_EQ(batch.samples[0].values["v"], 3);
  // Nothing new: a short wait comes back empty.
  EXPECT_TRUE(recording.WaitFrom(5, 10, 1ms).samples.empty());

  // A waiter wakes for a new sample, and for the close.
  auto waiting = std::async(std::launch::async, [&] { return recording.WaitFrom(5, 10, 60s); });
  recording.Add(At(5.0, json{{"v", 5}}));
  batch = waiting.get();
  EXPECT_EQ(batch.first, 5u);
  EXPECT_EQ(batch.samples.size(), 1u);
  waiting = std::async(std::launch::async, [&] { return recording.WaitFrom(6, 10, 60s); });
  recording.Close();
  EXPECT_TRUE(waiting.get().samples.empty());
  EXPECT_TRUE(recording.closed());
}

// The server on 127.0.0.1 and a free port, with a stand-in chart library.
class PlotServer : public ::testing::Test {
 protected:
  PlotServer() {
    testing::WriteFile(dir_ / "chart.js", std::string("window.Chart = 'chart library';\n"));
    settings_.chart_js_path = dir_ / "chart.js";
    settings_.title = "the test's plot";
  }

  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_read_timeout(10s);
    return client;
  }

  testing::TempDir dir_;
  Recording recording_{{"x", "y"}, 100};
  ServerSettings settings_;
  std::optional<Server> server_;
};

// Reads an event stream until it holds count messages of event, or ends.
std::string ReadEvents(httplib::Client& client, const httplib::Headers& headers,
                       const std::string& event, int count, httplib::Error* error = nullptr) {
  std::string text;
  int seen = 0;
  const auto result = client.Get("/events", headers, [&](const char* data, size_t length) {
    text.append(data, length);
    seen = 0;
    for (size_t at = text.find("event: " + event); at != std::string::npos;
         at = text.find("event: " + event, at + 1)) {
      ++seen;
    }
    return seen < count;
  });
  if (error != nullptr) *error = result.error();
  return text;
}

TEST_F(PlotServer, ServesThePageLibraryInfoAndCsv) {
  server_.emplace(recording_, settings_);
  server_->Start();
  EXPECT_EQ(server_->url(), "http://127.0.0.1:" + std::to_string(server_->port()) + "/");
  recording_.Add(At(0.5, json{{"x", 1}, {"y", 2.25}}));
  auto client = Client();

  const auto page = client.Get("/");
  ASSERT_TRUE(page) << httplib::to_string(page.error());
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body, PageHtml());
  EXPECT_NE(page->body.find("<canvas id=\"chart\">"), std::string::npos);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");

  const auto library = client.Get("/chart.js");
  ASSERT_TRUE(library);
  EXPECT_EQ(library->body, "window.Chart = 'chart library';\n");

  const auto info = client.Get("/info");
  ASSERT_TRUE(info);
  EXPECT_EQ(
      nlohmann::json::parse(info->body),
      (nlohmann::json{{"names", {"x", "y"}}, {"title", "the test's plot"}, {"interval", 0.1}}));

  const auto csv = client.Get("/data.csv");
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->body, "time,x,y\n0.500,1,2.25\n");
  EXPECT_NE(csv->get_header_value("Content-Disposition").find("attachment"), std::string::npos);

  EXPECT_EQ(client.Get("/nothing")->status, 404);
  const auto foreign = client.Get("/data.csv", {{"Host", "example.com"}});
  ASSERT_TRUE(foreign);
  EXPECT_EQ(foreign->status, 403);
}

TEST_F(PlotServer, StreamsSamplesAndResumesWhereTheBrowserStopped) {
  server_.emplace(recording_, settings_);
  server_->Start();
  for (int i = 0; i < 3; ++i) recording_.Add(At(i * 0.1, json{{"x", i}, {"y", -i}}));
  auto client = Client();

  // A new page gets what was recorded, numbered, then what comes; a
  // sample's text for the table goes with it when it has one.
  std::thread later([&] {
    recording_.Add({0.3, json{{"x", 3}, {"y", -3}}, json{{"x", "3"}, {"y", "-3 (FDh)"}}});
  });
  const std::string text = ReadEvents(client, {}, "sample", 4);
  later.join();
  EXPECT_NE(
      text.find("id: 0\nevent: sample\ndata: {\"time\":0.0,\"values\":{\"x\":0,\"y\":0}}\n\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("id: 3\nevent: sample\ndata: {\"time\":0.3,\"values\":{\"x\":3,\"y\":-3},"
                      "\"text\":{\"x\":\"3\",\"y\":\"-3 (FDh)\"}}\n\n"),
            std::string::npos)
      << text;

  // A browser that reconnects after id 1 gets 2 and on.
  const std::string resumed = ReadEvents(client, {{"Last-Event-ID", "1"}}, "sample", 1);
  EXPECT_TRUE(resumed.starts_with("id: 2\n")) << resumed;
}

TEST_F(PlotServer, StopEndsAnOpenStreamAndRefusesMoreStreamsThanThePoolSpares) {
  settings_.threads = 3;
  server_.emplace(recording_, settings_);
  server_->Start();
  recording_.Add(At(0, json{{"x", 0}, {"y", 0}}));

  std::promise<void> streaming;
  std::atomic<bool> told{false};
  auto open = std::async(std::launch::async, [&] {
    auto client = Client();
    std::string text;
    const auto result = client.Get("/events", [&](const char* data, size_t length) {
      text.append(data, length);
      if (!told.exchange(true)) streaming.set_value();
      return true;
    });
    return std::make_pair(text, result.error());
  });
  streaming.get_future().wait();

  // Three threads: one stream, and two kept for the rest.
  auto client = Client();
  const auto refused = client.Get("/events");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_EQ(client.Get("/info")->status, 200);

  // Stop with the stream open: the stream says so and ends, and Stop
  // returns (the test would hang otherwise).
  server_->Stop();
  const auto [text, error] = open.get();
  EXPECT_NE(text.find("event: end\n"), std::string::npos) << text;
  EXPECT_EQ(error, httplib::Error::Success);
  EXPECT_FALSE(Client().Get("/info"));
}

TEST_F(PlotServer, FailsInOneLine) {
  settings_.chart_js_path = dir_ / "absent.js";
  try {
    Server server(recording_, settings_);
    FAIL() << "a missing chart library was taken";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("absent.js"), std::string::npos) << error.what();
  }

  settings_.chart_js_path = dir_ / "chart.js";
  Server first(recording_, settings_);
  settings_.listen.port = first.port();
  try {
    Server second(recording_, settings_);
    FAIL() << "a port in use was taken";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot listen on 127.0.0.1:"), std::string::npos)
        << error.what();
  }
}

}  // namespace
}  // namespace tarlek::plot
