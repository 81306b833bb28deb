#include "mon/web/server.h"

#include <fmt/format.h>
#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "mon/web/page.h"
#include "mon/web/sse.h"

namespace tarlek::plot {

namespace {

// The samples a page gets when it opens: enough for the longest window at a
// fast rate; older ones stay in the CSV.
constexpr uint64_t kBacklog = 20000;
// Samples in one write of the stream.
constexpr size_t kBatch = 500;
// How long a stream waits for a sample before it writes a comment, which
// also finds a page that has gone.
constexpr std::chrono::milliseconds kStreamWait{250};
// How long Stop gives the open streams to finish.
constexpr std::chrono::seconds kGoodbye{2};

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error(
        fmt::format("cannot read the chart library {}: {}", path, std::strerror(errno)));
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The host part of a Host header: without its port, an IPv6 one without
// its brackets.
std::string_view HostPart(std::string_view header) {
  if (header.starts_with('[')) {
    const size_t close = header.find(']');
    return close == std::string_view::npos ? header : header.substr(1, close - 1);
  }
  return header.substr(0, header.find(':'));
}

}  // namespace

bool HostAccepted(std::string_view host_header, bool listens_on_loopback) {
  if (!listens_on_loopback) return true;
  return IsLoopback(HostPart(host_header));
}

struct Server::State {
  Recording& recording;
  ServerSettings settings;
  std::string chart_js;
  httplib::Server http;
  uint16_t port = 0;
  std::thread thread;
  std::atomic<size_t> streams{0};
  // Stop waits on these for the streams to say goodbye.
  std::mutex streams_mutex;
  std::condition_variable streams_ended;
  bool stopped = false;

  State(Recording& r, ServerSettings s) : recording(r), settings(std::move(s)) {}
  void Routes();
};

void Server::State::Routes() {
  const bool loopback = IsLoopback(settings.listen.host);
  http.set_pre_routing_handler(
      [loopback](const httplib::Request& request, httplib::Response& response) {
        if (HostAccepted(request.get_header_value("Host"), loopback)) {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = 403;
        response.set_content("this page answers on the loopback address only\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
      });
  http.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(std::string(PageHtml()), "text/html; charset=utf-8");
  });
  http.Get("/chart.js", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(chart_js, "application/javascript");
  });
  http.Get("/info", [this](const httplib::Request&, httplib::Response& response) {
    const nlohmann::json info = {
        {"names", recording.names()}, {"title", settings.title}, {"interval", settings.interval}};
    response.set_header("Cache-Control", "no-store");
    response.set_content(info.dump(), "application/json");
  });
  http.Get("/data.csv", [this](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_header("Content-Disposition", "attachment; filename=\"tarlek-plot.csv\"");
    response.set_content(recording.Csv(), "text/csv; charset=utf-8");
  });
  http.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    // Every stream holds a thread of the pool while it is open: two stay
    // free for the page, the library and the CSV.
    if (streams.fetch_add(1) + 2 >= settings.threads) {
      streams.fetch_sub(1);
      response.status = 503;
      response.set_content("too many pages are open on this plot\n", "text/plain");
      return;
    }
    // A browser that reconnects says where it stopped.
    uint64_t next = 0;
    const std::string last = request.get_header_value("Last-Event-ID");
    if (!last.empty()) {
      next = std::strtoull(last.c_str(), nullptr, 10) + 1;
    } else {
      const uint64_t count = recording.count();
      next = count > kBacklog ? count - kBacklog : 0;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, next](size_t, httplib::DataSink& sink) mutable {
          const Recording::Batch batch = recording.WaitFrom(next, kBatch, kStreamWait);
          std::string text;
          for (size_t i = 0; i < batch.samples.size(); ++i) {
            text += SseMessage(SampleJson(batch.samples[i]).dump(), "sample", batch.first + i);
          }
          next = batch.first + batch.samples.size();
          // The page stops reconnecting once it hears the end.
          const bool ended = recording.closed() && next == recording.count();
          if (ended) text += SseMessage("the plot has ended", "end");
          if (text.empty()) text = SseComment("waiting");
          if (!sink.write(text.data(), text.size())) return false;
          if (ended) sink.done();
          return true;
        },
        [this](bool) {
          {
            const std::lock_guard lock(streams_mutex);
            streams.fetch_sub(1);
          }
          streams_ended.notify_all();
        });
  });
}

Server::Server(Recording& recording, ServerSettings settings)
    : state_(std::make_unique<State>(recording, std::move(settings))) {
  State& s = *state_;
  s.chart_js = ReadWholeFile(s.settings.chart_js_path);
  const size_t threads = std::max<size_t>(s.settings.threads, 3);
  s.settings.threads = threads;
  s.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // The library's default also sets SO_REUSEPORT, which would let a second
  // plot share the port of a first one unnoticed: only SO_REUSEADDR here,
  // for a quick restart on the same port.
  s.http.set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // An idle connection ends soon, so that Stop does not wait for it long.
  s.http.set_keep_alive_timeout(1);
  s.http.set_read_timeout(5);
  s.http.set_write_timeout(5);
  s.Routes();
  const std::string& host = s.settings.listen.host;
  int bound = -1;
  errno = 0;
  if (s.settings.listen.port == 0) {
    bound = s.http.bind_to_any_port(host);
  } else if (s.http.bind_to_port(host, s.settings.listen.port)) {
    bound = s.settings.listen.port;
  }
  if (bound <= 0) {
    const std::string where =
        s.settings.listen.port == 0 ? host : fmt::format("{}:{}", host, s.settings.listen.port);
    throw std::runtime_error(
        fmt::format("cannot listen on {}{}", where,
                    errno != 0 ? std::string(": ") + std::strerror(errno)
                               : " (not an address of this machine, or the port is taken)"));
  }
  s.port = static_cast<uint16_t>(bound);
}

Server::~Server() { Stop(); }

uint16_t Server::port() const { return state_->port; }

std::string Server::url() const { return PageUrl(state_->settings.listen.host, state_->port); }

void Server::Start() {
  state_->thread = std::thread([this] { state_->http.listen_after_bind(); });
}

void Server::Stop() {
  State& s = *state_;
  if (s.stopped) return;
  s.stopped = true;
  // The open streams send the end and finish, within a bound for a page
  // that reads no more; then the server stops taking connections and its
  // pool's threads end.
  s.recording.Close();
  {
    std::unique_lock lock(s.streams_mutex);
    s.streams_ended.wait_for(lock, kGoodbye, [&] { return s.streams.load() == 0; });
  }
  s.http.stop();
  if (s.thread.joinable()) s.thread.join();
}

}  // namespace tarlek::plot
