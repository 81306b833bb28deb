#include <fmt/format.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "base/failure.h"
#include "base/output_file.h"
#include "mon/commands/commands.h"
#include "mon/commands/sampler.h"

namespace tarlek::mon {

using json = nlohmann::ordered_json;

namespace {

std::string CsvField(const Target& target, const json& value, const Sampler& sampler, size_t i) {
  if (value.is_number()) {
    // An infinity as its text (inf, -inf), where JSON would write null.
    return std::isfinite(value.get<double>()) ? value.dump() : sampler.Text(i, value, false);
  }
  if (value.is_null()) return "";
  std::string text = sampler.Text(i, value, false);
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  static_cast<void>(target);
  return quoted + "\"";
}

class CsvLog {
 public:
  CsvLog(const std::string& path, const Sampler& sampler) : path_(path), sampler_(sampler) {
    if (path.empty()) return;
    if (!file_.OpenLog(path.c_str())) throw Failure(kExitFailure, "cannot write the log " + path);
    std::string header = "time";
    for (const std::string& name : sampler.names()) {
      header += ",";
      header += name.find_first_of(",\"") == std::string::npos ? name : "\"" + name + "\"";
    }
    Put(header);
  }
  ~CsvLog() {
    if (!path_.empty()) static_cast<void>(file_.Commit());
  }
  CsvLog(const CsvLog&) = delete;
  CsvLog& operator=(const CsvLog&) = delete;

  void Add(const Sample& sample) {
    if (path_.empty()) return;
    std::string row = fmt::format("{:.3f}", sample.time);
    for (size_t i = 0; i < sampler_.targets().size(); ++i) {
      const Target& t = sampler_.targets()[i];
      row += ',';
      row += CsvField(t, sample.values[t.name], sampler_, i);
    }
    Put(row);
  }
  void Close() {
    if (path_.empty()) return;
    const std::string path = path_;
    path_.clear();
    if (!file_.Commit()) throw Failure(kExitFailure, "cannot write the log " + path);
  }

 private:
  void Put(const std::string& line) {
    file_.Write(line.data(), line.size());
    file_.Write("\n", 1);
    // Flushed line by line: what was shown is in the file, however the run ends.
    if (!file_.Flush()) throw Failure(kExitFailure, "cannot write the log " + path_);
  }

  std::string path_;
  const Sampler& sampler_;
  OutputFile file_;
};

std::string WallTime(double time) {
  const auto seconds = static_cast<time_t>(time);
  tm local{};
  localtime_r(&seconds, &local);
  const auto ms =
      static_cast<int>(std::lround((time - static_cast<double>(seconds)) * 1000)) % 1000;
  return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, ms);
}

}  // namespace

int DoWatch(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  for (const Target& t : plan.targets) RequireCommand(info, protocol::ReadCommand(t.place.space));
  const Invocation& inv = plan.invocation;
  Sampler sampler(plan.targets);
  CsvLog log(inv.csv_path, sampler);
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(inv.interval));
  const auto start = Clock::now();
  const auto end = inv.seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(inv.seconds))
                                   : Clock::time_point::max();
  size_t width = 4;
  for (const Target& t : plan.targets) width = std::max(width, t.name.size());
  std::vector<std::string> previous(plan.targets.size());
  size_t samples = 0;
  // The line bytes of the samples: from the end of the first one, which
  // carries no identify and no planning.
  size_t line_at_first = 0;
  size_t retries_at_first = 0;
  const auto finish = [&]() {
    // A line the program had begun goes above the table, which then stays as
    // it is, above the summary.
    if (io.program_output != nullptr) io.program_output->Finish();
    io.footer.Gone();
    log.Close();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!inv.quiet && samples > 0) {
      const size_t line = link.bytes_sent() + link.bytes_received() - line_at_first;
      // A request that had to be sent again is a sample that came late: a
      // line that loses bytes shows here first.
      const size_t retries = link.retries_done() - retries_at_first;
      io.err(fmt::format(
          "{} samples in {:.1f} s: {:.1f} samples/s, {} request{} and {:.1f} line "
          "bytes a sample{}\n",
          samples, elapsed, static_cast<double>(samples) / elapsed, sampler.requests(),
          sampler.requests() == 1 ? "" : "s",
          samples > 1 ? static_cast<double>(line) / static_cast<double>(samples - 1) : 0.0,
          retries == 0
              ? std::string()
              : fmt::format("; {} request{} sent again", retries, retries == 1 ? "" : "s")));
    }
    return kExitOk;
  };
  try {
    for (;;) {
      const auto started = Clock::now();
      const Sample sample = sampler.Take(link);
      if (++samples == 1) {
        line_at_first = link.bytes_sent() + link.bytes_received();
        retries_at_first = link.retries_done();
      }
      log.Add(sample);
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      std::vector<std::string> texts;
      for (size_t i = 0; i < plan.targets.size(); ++i) {
        texts.push_back(sampler.Text(i, sample.values[plan.targets[i].name], inv.hex));
      }
      if (inv.json) {
        io.out(sample.Json().dump() + "\n");
      } else if (io.terminal.redraw) {
        std::string screen, table;
        if (samples > 1) screen += fmt::format("\x1b[{}A", plan.targets.size() + 1);
        table += fmt::format("\r{}  {:.1f} samples/s\x1b[K\n", WallTime(sample.time),
                             elapsed > 0 ? static_cast<double>(samples - 1) / elapsed : 0.0);
        for (size_t i = 0; i < texts.size(); ++i) {
          const bool changed = samples > 1 && texts[i] != previous[i];
          std::string shown = texts[i];
          if (changed && io.terminal.colour) {
            shown = fmt::format("\x1b[7m{}\x1b[m", shown);
          } else if (changed) {
            shown += " *";
          }
          table += fmt::format("\r{:<{}}  {}\x1b[K\n", plan.targets[i].name, width, shown);
        }
        io.out(screen + table);
        // The program's lines are written above the table.
        io.footer.Shown(io.out, std::move(table), plan.targets.size() + 1);
      } else {
        for (size_t i = 0; i < texts.size(); ++i) {
          if (samples > 1 && texts[i] == previous[i]) continue;
          io.out(
              fmt::format("{} {} = {}\n", WallTime(sample.time), plan.targets[i].name, texts[i]));
        }
      }
      previous = std::move(texts);
      const auto next = std::min(started + interval, end);
      link.Listen(next);
      if (Clock::now() >= end) return finish();
    }
  } catch (const Failure& failure) {
    // Ctrl-C is how a watch ends.
    if (failure.status() == kExitInterrupted) return finish();
    throw;
  }
}

}  // namespace tarlek::mon
