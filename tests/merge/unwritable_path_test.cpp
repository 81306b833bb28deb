// A path that cannot be written, over every writer: the one line of its kind,
// and nothing in the directory touched. The writers are the two of the merge
// tool and the output file under them (whose contents are then never made).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "base/output_file.h"
#include "merge/bin_writer.h"
#include "merge/hex_writer.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

struct Writer {
  const char* kind;  // as its line names it
  std::function<bool(Console&, const char*)> write;
};

const Writer kWriters[] = {
    {"BIN",
     [](Console& console, const char* path) {
       auto state = NewState();
       state->ResidentEnd = 0x0004;
       return WriteBinFile(*state, console, path);
     }},
    {"INTEL HEX",
     [](Console& console, const char* path) {
       auto state = NewState();
       return WriteHexFile(*state, console, path);
     }},
    {"Resident",
     [](Console& console, const char* path) {
       bool filled = false;
       const bool ok = WriteOutputFile(console, "Resident", path, 1, [&](OutputFile& file) {
         filled = true;
         file.Write("x", 1);
       });
       EXPECT_FALSE(filled) << "the contents were made for a file that cannot be written";
       return ok;
     }},
};

struct UnwritableCase {
  const char* name;
  std::string path;  // relative to the test directory; "<dir>" is the directory itself
  friend void PrintTo(const UnwritableCase& c, std::ostream* os) { *os << c.name; }
};

class Unwritable : public ::testing::TestWithParam<UnwritableCase> {};

TEST_P(Unwritable, GivesTheWritersLineAndTouchesNothing) {
  TempDir dir;
  WriteFile(dir / "plain.txt", "not a directory\n");
  std::filesystem::create_directory(dir / "sub.bin");
  std::filesystem::create_symlink("missing/x.bin", dir / "dangling.bin");
  // In the test directory, even a relative or empty name can only touch it.
  InDirectory here(dir.path());
  const std::string path = GetParam().path == "<dir>" ? dir.path() : GetParam().path;
  const std::set<std::string> before = DirectoryNames(".");
  for (const Writer& writer : kWriters) {
    SCOPED_TRACE(writer.kind);
    CapturedConsole console;
    EXPECT_FALSE(writer.write(console, path.c_str()));
    EXPECT_EQ(console.Text(), std::string("ERROR - ") + writer.kind + " output file " + path +
                                  " cannot be written !\n");
  }
  EXPECT_EQ(DirectoryNames("."), before);
  EXPECT_TRUE(std::filesystem::is_empty("sub.bin"));
  EXPECT_EQ(ReadText("plain.txt"), "not a directory\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, Unwritable,
                         ::testing::ValuesIn(std::vector<UnwritableCase>{
                             {"MissingDirectory", "missing/prog.bin"},
                             {"MissingDirectories", "no/such/dir/prog.hex"},
                             {"MissingDirectoryWithABlank", "no such dir/prog.bin"},
                             {"FileAsDirectory", "plain.txt/prog.bin"},
                             {"Directory", "sub.bin"},
                             {"DirectoryWithSlash", "sub.bin/"},
                             {"TheDirectoryItself", "<dir>"},
                             {"LinkIntoMissingDirectory", "dangling.bin"},
                             {"Empty", ""},
                         }),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarlek::testing
