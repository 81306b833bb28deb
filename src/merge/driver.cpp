#include "merge/driver.h"

#include <climits>
#include <cstring>

#include "base/hex_text.h"
#include "base/version.h"
#include "merge/bin_reader.h"
#include "merge/bin_writer.h"
#include "merge/hex_reader.h"
#include "merge/hex_writer.h"
#include "merge/messages.h"
#include "merge/place_resident.h"

namespace tarlek {
namespace {

using Reader = bool (*)(ProgramState&, Console&, const char*);
using Writer = bool (*)(const ProgramState&, Console&, const char*);

// The output file of an option: the input's directory and base name with the
// option's lower-case extension, or empty when it would not fit (no file can
// then be opened under it, and the writer reports that).
void OptionOutput(const PathParts& parts, std::string_view ext, char (&text)[PATH_MAX + 8]) {
  const size_t length = parts.dir.size() + parts.name.size() + ext.size();
  if (length >= sizeof text) return;
  char* p = text;
  for (std::string_view piece : {parts.dir, parts.name, ext}) {
    std::memcpy(p, piece.data(), piece.size());
    p += piece.size();
  }
  *p = '\0';
}

void PrintAddressLine(const ProgramState& state, Console& console) {
  console.Write("Tarlek is now located at ");
  console.Write(HexByte(state.Image[1]));
  console.WriteLine("00h");
}

void PrintClosingLines(Console& console) {
  console.WriteLine();
  console.WriteLine("Tarlek loading O.K. - thank You for using it.");
}

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

Command ParseCommandLine(int argc, const char* const argv[]) {
  using Action = Command::Action;
  Command command;
  const int count = argc - 1;
  if (count == 1 && std::strcmp(argv[1], "--version") == 0) {
    command.action = Action::kVersion;
    return command;
  }
  if (count == 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    command.action = Action::kHelp;
    return command;
  }
  if (count < 1 || count > 2) {
    command.action = Action::kUsage;
    return command;
  }

  command.input = argv[1];
  const PathParts parts = SplitPath(command.input);
  if (EqualsUpperCased(parts.ext, ".BIN")) {
    command.input_kind = FileKind::kBin;
  } else if (EqualsUpperCased(parts.ext, ".HEX")) {
    command.input_kind = FileKind::kHex;
  } else {
    command.action = Action::kBadInput;  // the option is not looked at
    return command;
  }

  // Without an option the output is of the input's kind, over the input.
  command.output_kind = command.input_kind;
  if (count == 2) {
    command.option = argv[2];
    if (EqualsUpperCased(command.option, "/OB")) {
      command.output_kind = FileKind::kBin;
    } else if (EqualsUpperCased(command.option, "/OH")) {
      command.output_kind = FileKind::kHex;
    } else {
      command.action = Action::kBadOption;
      return command;
    }
    OptionOutput(parts, command.output_kind == FileKind::kBin ? ".bin" : ".hex",
                 command.option_output);
  }
  command.action = Action::kRun;
  return command;
}

int RunTarlek(int argc, const char* const argv[], ProgramState& state, Console& console) {
  using Action = Command::Action;
  const Command command = ParseCommandLine(argc, argv);
  if (command.action == Action::kVersion) {
    console.Write("Tarlek ");
    console.WriteLine(kVersion);
    return kExitOk;
  }

  state.ClearImage();
  PrintBanner(console);
  switch (command.action) {
    case Action::kHelp:
      PrintUsage(console);
      return kExitOk;
    case Action::kUsage:
      PrintUsage(console);
      return kExitUsage;
    default:
      break;
  }
  console.NormalIntensity();
  switch (command.action) {
    case Action::kBadInput:
      console.WriteLine("ERROR - BAD input file. It can be 'file.hex' or 'file.bin' only !");
      return kExitFailure;
    case Action::kBadOption:
      console.Write("ERROR - BAD option ");
      console.WriteQuoted(command.option);
      console.WriteLine(". It can be '/ob' or '/oh' only !");
      return kExitFailure;
    default:
      break;
  }

  // The run: read, place, report the address, write, close.
  const Reader read = command.input_kind == FileKind::kBin ? ReadBinFile : ReadHexFile;
  const Writer write = command.output_kind == FileKind::kBin ? WriteBinFile : WriteHexFile;
  state.LoadOK = read(state, console, command.input);
  if (!state.LoadOK) return kExitFailure;
  state.LoadOK = PlaceResident(state, console);
  if (!state.LoadOK) return kExitFailure;
  PrintAddressLine(state, console);
  state.LoadOK = write(state, console, command.OutputPath());
  if (!state.LoadOK) return kExitFailure;
  PrintClosingLines(console);
  return kExitOk;
}

}  // namespace tarlek
