#include "driver/driver.h"

#include <climits>
#include <cstring>

#include "driver/hex_text.h"
#include "driver/messages.h"
#include "image/bin_reader.h"
#include "image/hex_reader.h"
#include "resident/place_resident.h"
#include "writers/bin_writer.h"
#include "writers/hex_writer.h"

#ifndef TARLEK_VERSION
#define TARLEK_VERSION "0.0.0"
#endif

namespace tarlek {
namespace {

enum class FileKind { kBin, kHex };

using Step = bool (*)(ProgramState&, Console&, const char*);
using Writer = bool (*)(const ProgramState&, Console&, const char*);

// The output file of an option: the input's directory and base name with the
// option's lower-case extension. The reader has opened the input, so its path
// is shorter than PATH_MAX and the result fits.
class OutputName {
 public:
  OutputName(const PathParts& parts, std::string_view ext) {
    const size_t length = parts.dir.size() + parts.name.size() + ext.size();
    if (length >= sizeof text_) return;
    char* p = text_;
    for (std::string_view piece : {parts.dir, parts.name, ext}) {
      std::memcpy(p, piece.data(), piece.size());
      p += piece.size();
    }
    *p = '\0';
  }
  const char* c_str() const { return text_; }

 private:
  char text_[PATH_MAX + 8] = {};
};

}  // namespace

PathParts SplitPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  const size_t dir_end = slash == std::string_view::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < dir_end) dot = path.size();
  return {path.substr(0, dir_end), path.substr(dir_end, dot - dir_end), path.substr(dot)};
}

bool EqualsUpperCased(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

int RunTarlek(int argc, const char* const argv[], ProgramState& state, Console& console) {
  const int count = argc - 1;
  if (count == 1 && std::strcmp(argv[1], "--version") == 0) {
    console.WriteLine("Tarlek " TARLEK_VERSION);
    return kExitSuccess;
  }

  state.ClearImage();
  PrintBanner(console);
  if (count == 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    PrintUsage(console);
    return kExitSuccess;
  }
  if (count < 1 || count > 2) {
    PrintUsage(console);
    return kExitUsage;
  }
  console.NormalIntensity();

  const char* input = argv[1];
  const PathParts parts = SplitPath(input);
  FileKind input_kind;
  if (EqualsUpperCased(parts.ext, ".BIN")) {
    input_kind = FileKind::kBin;
  } else if (EqualsUpperCased(parts.ext, ".HEX")) {
    input_kind = FileKind::kHex;
  } else {
    console.WriteLine("ERROR - BAD input file. It can be 'file.hex' or 'file.bin' only !");
    return kExitError;
  }

  // Without an option the output is of the input's kind, over the input.
  FileKind output_kind = input_kind;
  if (count == 2) {
    if (EqualsUpperCased(argv[2], "/OB")) {
      output_kind = FileKind::kBin;
    } else if (EqualsUpperCased(argv[2], "/OH")) {
      output_kind = FileKind::kHex;
    } else {
      console.Write("ERROR - BAD option ");
      console.WriteQuoted(argv[2]);
      console.WriteLine(". It can be '/ob' or '/oh' only !");
      return kExitError;
    }
  }
  const OutputName output(parts, output_kind == FileKind::kBin ? ".bin" : ".hex");
  const char* output_path = count == 2 ? output.c_str() : input;

  const Step read = input_kind == FileKind::kBin ? ReadBinFile : ReadHexFile;
  state.LoadOK = read(state, console, input);
  if (!state.LoadOK) return kExitError;

  state.LoadOK = PlaceResident(state, console);
  if (!state.LoadOK) return kExitError;
  console.Write("Tarlek is now located at ");
  console.Write(HexByte(state.Image[1]));
  console.WriteLine("00h");

  const Writer write = output_kind == FileKind::kBin ? WriteBinFile : WriteHexFile;
  state.LoadOK = write(state, console, output_path);
  if (!state.LoadOK) return kExitError;

  console.WriteLine();
  console.WriteLine("Tarlek loading O.K. - thank You for using it.");
  return kExitSuccess;
}

}  // namespace tarlek
