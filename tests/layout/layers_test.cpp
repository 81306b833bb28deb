// The source tree's layers: each folder of src/ includes only from itself and
// the folders below it, and no two units (a .h with its .cpp) include each
// other round a circle. Read from the files themselves, so a new include that
// runs upward fails here before it tangles the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace tarlek::testing {
namespace {

namespace fs = std::filesystem;

// What each folder may include besides itself, bottom up. "generated" are the
// build's own headers (the version, the plot page).
const std::map<std::string, std::set<std::string>> kMayInclude = {
    {"base", {}},
    {"merge", {"base"}},
    {"protocol", {"base"}},
    {"mon/line", {"protocol", "base"}},
    {"mon/symbols", {"mon/line", "protocol", "base"}},
    {"mon/output", {"mon/symbols", "mon/line", "protocol", "base"}},
    {"mon/web", {"mon/output", "mon/symbols", "mon/line", "protocol", "base"}},
    {"mon/commands", {"mon/web", "mon/output", "mon/symbols", "mon/line", "protocol", "base"}},
    {"mon",
     {"mon/commands", "mon/web", "mon/output", "mon/symbols", "mon/line", "protocol", "base"}},
    {"sim", {"protocol", "base"}},
};

struct Source {
  std::string folder;                 // relative to src/, as includes name it
  std::string unit;                   // folder/stem: a header and its .cpp are one unit
  std::vector<std::string> includes;  // the project's own, as written
};

std::vector<Source> ReadSources() {
  const fs::path src = fs::path(TARLEK_SOURCE_DIR) / "src";
  const std::regex include_line(R"re(^\s*#\s*include\s+"([^"]+)")re");
  std::vector<Source> sources;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const auto ext = entry.path().extension();
    if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
    const fs::path relative = entry.path().lexically_relative(src);
    Source source{relative.parent_path().generic_string(),
                  (relative.parent_path() / relative.stem()).generic_string(),
                  {}};
    std::ifstream in(entry.path());
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
      if (std::regex_search(line, match, include_line)) source.includes.push_back(match[1]);
    }
    sources.push_back(std::move(source));
  }
  return sources;
}

std::string FolderOf(const std::string& include) {
  return fs::path(include).parent_path().generic_string();
}

TEST(Layers, EveryIncludeStaysInItsLayerOrBelow) {
  const std::vector<Source> sources = ReadSources();
  ASSERT_FALSE(sources.empty());
  for (const Source& source : sources) {
    const auto rule = kMayInclude.find(source.folder);
    ASSERT_NE(rule, kMayInclude.end()) << "src/" << source.folder
                                       << " is a folder the layers do not know: add it to "
                                          "kMayInclude and the README's Layout";
    for (const std::string& include : source.includes) {
      const std::string folder = FolderOf(include);
      EXPECT_TRUE(folder == source.folder || rule->second.contains(folder) ||
                  include == "base/version.h" || include == "mon/web/page.h")
          << source.unit << " includes " << include << ", above its layer";
    }
  }
}

TEST(Layers, NoUnitsIncludeEachOtherRoundACircle) {
  std::map<std::string, std::set<std::string>> uses;
  for (const Source& source : ReadSources()) {
    for (const std::string& include : source.includes) {
      const fs::path path(include);
      const std::string unit = (path.parent_path() / path.stem()).generic_string();
      if (unit != source.unit) uses[source.unit].insert(unit);
    }
  }
  // Depth-first, with the path walked so far: a unit met again on it closes a
  // circle, which the message spells out.
  std::set<std::string> done;
  std::vector<std::string> path;
  std::function<void(const std::string&)> visit = [&](const std::string& unit) {
    const auto on_path = std::find(path.begin(), path.end(), unit);
    if (on_path != path.end()) {
      std::string circle;
      for (auto it = on_path; it != path.end(); ++it) circle += *it + " -> ";
      ADD_FAILURE() << "a circle of includes: " << circle << unit;
      return;
    }
    if (done.contains(unit)) return;
    path.push_back(unit);
    for (const std::string& next : uses[unit]) visit(next);
    path.pop_back();
    done.insert(unit);
  };
  for (const auto& [unit, used] : uses) visit(unit);
}

}  // namespace
}  // namespace tarlek::testing
