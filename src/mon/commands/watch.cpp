#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/failure.h"
#include "base/output_file.h"
#include "mon/commands/commands.h"
#include "mon/commands/sampler.h"
#include "mon/output/csv.h"
#include "mon/output/format.h"

namespace tarlek::mon {

using json = nlohmann::ordered_json;

namespace {

// --csv FILE: a line per sample, its time and then each target's value.
class CsvLog {
 public:
  CsvLog(const std::string& path, const Sampler& sampler) : path_(path), sampler_(sampler) {
    if (path.empty()) return;
    if (!file_.OpenLog(path.c_str())) throw Failure(kExitFailure, "cannot write the log " + path);
    std::vector<std::string> header = {"time"};
    for (const std::string& name : sampler.names()) header.push_back(name);
    Put(CsvLine(header));
  }
  ~CsvLog() {
    if (!path_.empty()) static_cast<void>(file_.Commit());
  }
  CsvLog(const CsvLog&) = delete;
  CsvLog& operator=(const CsvLog&) = delete;

  void Add(const Sample& sample) {
    if (path_.empty()) return;
    std::vector<std::string> row = {fmt::format("{:.3f}", sample.time)};
    for (size_t i = 0; i < sampler_.targets().size(); ++i) {
      const json& value = sample.values[sampler_.targets()[i].name];
      // A number as JSON has it (an infinity, where JSON would write null, as
      // its text: inf, -inf); anything else as watch shows it.
      const bool number = value.is_number() && std::isfinite(value.get<double>());
      row.push_back(number            ? value.dump()
                    : value.is_null() ? std::string()
                                      : sampler_.Text(i, value, false));
    }
    Put(CsvLine(row));
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
    // Flushed line by line: what was shown is in the file, however the run ends.
    if (!file_.Flush()) throw Failure(kExitFailure, "cannot write the log " + path_);
  }

  std::string path_;
  const Sampler& sampler_;
  OutputFile file_;
};

// What watch shows of each sample: a line of JSON, a table redrawn in place
// on a terminal, or a line per changed value.
class WatchView {
 public:
  WatchView(const Plan& plan, const Sampler& sampler, Io& io)
      : plan_(plan), sampler_(sampler), io_(io), previous_(plan.targets.size()) {
    for (const Target& t : plan.targets) width_ = std::max(width_, t.name.size());
  }

  void Show(const Sample& sample, const SamplingProgress& progress) {
    const std::vector<Target>& targets = plan_.targets;
    std::vector<std::string> texts;
    for (size_t i = 0; i < targets.size(); ++i) {
      texts.push_back(sampler_.Text(i, sample.values[targets[i].name], plan_.invocation.hex));
    }
    const bool first = progress.samples == 1;
    if (plan_.invocation.json) {
      io_.out(sample.Json().dump() + "\n");
    } else if (io_.terminal.redraw) {
      std::string screen, table;
      if (!first) screen += fmt::format("\x1b[{}A", targets.size() + 1);
      const double rate =
          progress.seconds > 0 ? static_cast<double>(progress.samples - 1) / progress.seconds : 0.0;
      table += fmt::format("\r{}  {:.1f} samples/s\x1b[K\n", TimeOfDay(sample.time), rate);
      for (size_t i = 0; i < texts.size(); ++i) {
        const bool changed = !first && texts[i] != previous_[i];
        std::string shown = texts[i];
        if (changed && io_.terminal.colour) {
          shown = fmt::format("\x1b[7m{}\x1b[m", shown);
        } else if (changed) {
          shown += " *";
        }
        table += fmt::format("\r{:<{}}  {}\x1b[K\n", targets[i].name, width_, shown);
      }
      io_.out(screen + table);
      // The program's lines are written above the table.
      io_.footer.Shown(io_.out, std::move(table), targets.size() + 1);
    } else {
      for (size_t i = 0; i < texts.size(); ++i) {
        if (!first && texts[i] == previous_[i]) continue;
        io_.out(fmt::format("{} {} = {}\n", TimeOfDay(sample.time), targets[i].name, texts[i]));
      }
    }
    previous_ = std::move(texts);
  }

 private:
  const Plan& plan_;
  const Sampler& sampler_;
  Io& io_;
  size_t width_ = 4;
  std::vector<std::string> previous_;
};

}  // namespace

int DoWatch(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  for (const Target& t : plan.targets) RequireCommand(info, protocol::ReadCommand(t.place.space));
  const Invocation& inv = plan.invocation;
  Sampler sampler(plan.targets);
  CsvLog log(inv.csv_path, sampler);
  WatchView view(plan, sampler, io);
  const SamplingProgress done =
      SampleUntilEnd(sampler, link, inv.interval, inv.seconds,
                     [&](const Sample& sample, const SamplingProgress& progress) {
                       log.Add(sample);
                       view.Show(sample, progress);
                     });
  // A line the program had begun goes above the table, which then stays as
  // it is, above the summary.
  if (io.program_output != nullptr) io.program_output->Finish();
  io.footer.Gone();
  log.Close();
  if (!inv.quiet && done.samples > 0) {
    // A request that had to be sent again is a sample that came late: a
    // line that loses bytes shows here first.
    io.err(fmt::format(
        "{} samples in {:.1f} s: {:.1f} samples/s, {} request{} and {:.1f} line "
        "bytes a sample{}\n",
        done.samples, done.seconds, static_cast<double>(done.samples) / done.seconds,
        sampler.requests(), sampler.requests() == 1 ? "" : "s",
        done.samples > 1
            ? static_cast<double>(done.line_bytes) / static_cast<double>(done.samples - 1)
            : 0.0,
        done.retries == 0 ? std::string()
                          : fmt::format("; {} request{} sent again", done.retries,
                                        done.retries == 1 ? "" : "s")));
  }
  return kExitOk;
}

}  // namespace tarlek::mon
