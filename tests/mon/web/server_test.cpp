// plot's web server on the loopback address: the page, the chart library,
// the CSV, the event streams, their resumption, their limit and a stop with a
// stream open.
#include "mon/web/server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "mon/web/page.h"
#include "mon/web/recording.h"
#include "support/test_support.h"

namespace tarlek::plot {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::ordered_json;

// A sample without text for the table.
Sample At(double time, json values) { return {time, std::move(values), json()}; }

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

// A page that opens after the plot has ended, with more samples than one
// write of the stream carries: every one of them comes before the end.
TEST_F(PlotServer, AnEndedPlotStreamsAllItsSamplesBeforeItsEnd) {
  Recording recording({"x"}, 2000);
  constexpr int kSamples = 1234;
  for (int i = 0; i < kSamples; ++i) recording.Add(At(i * 0.01, json{{"x", i}}));
  recording.Close();
  Server server(recording, settings_);
  server.Start();
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(10s);
  const std::string text = ReadEvents(client, {}, "end", 1);
  size_t samples = 0;
  for (size_t at = text.find("event: sample\n"); at != std::string::npos;
       at = text.find("event: sample\n", at + 1)) {
    ++samples;
  }
  EXPECT_EQ(samples, static_cast<size_t>(kSamples));
  const std::string last = "id: " + std::to_string(kSamples - 1) + "\nevent: sample\n";
  ASSERT_NE(text.find(last), std::string::npos)
      << text.substr(text.size() - std::min<size_t>(text.size(), 200));
  EXPECT_LT(text.find(last), text.find("event: end\n"));
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
