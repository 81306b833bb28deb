// The plot page's web server: the page, the chart library from its installed
// file, the samples as a stream of Server-Sent Events and the recording as
// CSV. A fixed pool of threads serves the requests; the sampling goes on in
// the caller's thread.
#pragma once

#include <memory>
#include <string>

#include "mon/web/listen.h"
#include "mon/web/recording.h"

namespace tarlek::plot {

struct ServerSettings {
  ListenAddress listen;
  // The chart library the page loads, served as /chart.js.
  std::string chart_js_path;
  std::string title;      // shown above the chart
  double interval = 0.1;  // seconds between samples, for the page's text
  size_t threads = 8;     // the pool that serves requests
};

class Server {
 public:
  // Reads the chart library and binds the address; throws std::runtime_error
  // with one line saying what failed.
  Server(Recording& recording, ServerSettings settings);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The port bound (the free one picked, for port 0).
  uint16_t port() const;
  // http://HOST:PORT/
  std::string url() const;

  // Serves from a thread of its own until Stop.
  void Start();
  // Ends the streams, stops listening and waits for the pool's threads.
  // Also done by the destructor.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether a request's Host header names a host the server accepts: any host
// when it listens beyond the loopback address, else only loopback names (so
// that a web site cannot reach the page by pointing its own name at
// 127.0.0.1).
bool HostAccepted(std::string_view host_header, bool listens_on_loopback);

}  // namespace tarlek::plot
