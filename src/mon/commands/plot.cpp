#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "base/failure.h"
#include "mon/commands/commands.h"
#include "mon/commands/sampler.h"
#include "mon/web/listen.h"
#include "mon/web/recording.h"
#include "mon/web/server.h"

#ifndef TARLEK_CHART_JS
#define TARLEK_CHART_JS "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace tarlek::mon {

namespace {

// The samples the page and the CSV keep: an hour at 100 a second.
constexpr size_t kKeptSamples = 360000;

int RunPlot(const Plan& plan, Link& link, Io& io) {
  const Invocation& inv = plan.invocation;
  Sampler sampler(plan.targets);
  const std::vector<std::string> names = sampler.names();
  plot::Recording recording(names, kKeptSamples);

  const auto parsed = plot::ParseListen(inv.listen);
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    throw UsageError(fmt::format("--listen {}: {}", inv.listen, *why));
  }
  plot::ServerSettings settings;
  settings.listen = std::get<plot::ListenAddress>(parsed);
  settings.chart_js_path = TARLEK_CHART_JS;
  settings.title = inv.port.starts_with("fifo:") ? std::string("tarlek-mon plot: the simulator")
                                                 : fmt::format("tarlek-mon plot: {}", inv.port);
  settings.interval = inv.plot_interval;
  std::optional<plot::Server> server;
  try {
    server.emplace(recording, settings);
  } catch (const std::runtime_error& error) {
    throw Failure(kExitFailure, error.what());
  }
  server->Start();
  if (inv.json) {
    io.out(nlohmann::json{{"url", server->url()}}.dump() + "\n");
  } else {
    io.out(fmt::format("plot: open {} (Ctrl-C ends)\n", server->url()));
  }
  if (!plot::IsLoopback(settings.listen.host) && !inv.quiet) {
    io.err(fmt::format("note: the page is open to the network on {}, with no password\n",
                       settings.listen.host));
  }

  std::optional<double> first_time;
  SampleUntilEnd(sampler, link, inv.plot_interval, inv.seconds,
                 [&](Sample& taken, const SamplingProgress&) {
                   // The page's time axis starts at the first sample.
                   if (!first_time) first_time = taken.time;
                   plot::Sample sample;
                   sample.time = taken.time - *first_time;
                   sample.text = nlohmann::ordered_json::object();
                   for (size_t i = 0; i < names.size(); ++i) {
                     sample.text[names[i]] = sampler.Text(i, taken.values[names[i]], false);
                   }
                   sample.values = std::move(taken.values);
                   recording.Add(std::move(sample));
                 });
  server->Stop();
  // A line the program had begun comes before the closing line, not after it.
  if (io.program_output != nullptr) io.program_output->Finish();
  if (!inv.quiet && !inv.json) {
    io.err(fmt::format("plot: ended after {} samples\n", recording.count()));
  }
  return kExitOk;
}

}  // namespace

int DoPlot(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  for (const Target& target : plan.targets) {
    RequireCommand(info, protocol::ReadCommand(target.place.space));
  }
  return RunPlot(plan, link, io);
}

}  // namespace tarlek::mon
