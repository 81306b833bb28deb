// The files that state the resident's facts in their own words, against
// resident/facts.txt (through the header generated from it): the include
// files shipped to users as they are (Tarlek.inc, tarlek_sdas.inc,
// tarlek.h), whose numbers the assemblers and compilers need literally, and
// the READMEs' and the manual's tables and figures. A change to the data file shows here,
// naming every line that must follow it.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/resident_facts.h"
#include "support/test_support.h"

namespace tarlek {
namespace {

using namespace resident;

// Where the state may lie: off the reset call's return address, below 100h.
constexpr unsigned kLowest = kStateLowest;
constexpr unsigned kHighest = 0x100 - kStateBytes;

// The file's text with every run of blanks and line ends made one blank, so
// that a snippet may span the alignment of a table or a line break.
std::string Squeezed(const std::string& path) {
  return std::regex_replace(testing::ReadText(TARLEK_SOURCE_DIR "/" + path),
                            std::regex("[ \t\r\n]+"), " ");
}

// A number as as31 writes it: hexadecimal, a digit first.
std::string As31Hex(unsigned value) {
  const std::string digits = fmt::format("{:02X}", value);
  return (digits[0] > '9' ? "0" : "") + digits + "h";
}

// "+N", or nothing for an entry at the page's first byte.
std::string Plus(unsigned offset) { return offset == 0 ? "" : fmt::format("+{}", offset); }

TEST(ResidentFacts, TheHooksFollowEachOtherAsTheIncludeFilesLayThem) {
  // Tarlek.inc and tarlek_sdas.inc lay LCALL, LJMP and MOV R0 / RET back
  // to back from HOOK_RESET on, each three bytes but the last.
  EXPECT_EQ(kHookMain, kHookReset + 3);
  EXPECT_EQ(kHookState, kHookMain + 3);
  EXPECT_LT(kHookState + 3, kHookSerial);
}

TEST(ResidentFacts, ShippedIncludeFilesStateThem) {
  const struct {
    const char* file;
    std::string snippet;
  } cases[] = {
      // as31
      {"resident/Tarlek.inc", fmt::format(".org {:04X}h lcall TARLEK_PAGE*256{} ljmp tarlek_main",
                                          kHookReset, Plus(kEntryInit))},
      {"resident/Tarlek.inc",
       fmt::format("mov r0, #TARLEK_RAM + 512 * (1 - (TARLEK_RAM + {}) / 100h + (TARLEK_RAM + "
                   "{}) / 100h) ret",
                   As31Hex(0x100 - kLowest), As31Hex(0x100 - kHighest - 1))},
      {"resident/Tarlek.inc",
       fmt::format(".org {:04X}h ljmp TARLEK_PAGE*256{}", kHookSerial, Plus(kEntrySerial))},
      {"resident/Tarlek.inc",
       fmt::format("TARLEK_RAM must lie in {:02X}h..{:02X}h", kLowest, kHighest)},
      {"resident/Tarlek.inc",
       fmt::format("the {} bytes of internal RAM the resident keeps its state", kStateBytes)},
      {"resident/Tarlek.inc", fmt::format("its state at 74h..{:02X}h", 0x74 + kStateBytes - 1)},
      // sdas8051
      {"resident/tarlek_sdas.inc",
       fmt::format(".if (TARLEK_RAM - 0x{:02X}) & 0x8000 .db TARLEK_RAM_must_lie_in_{:02X}h_to_"
                   "{:02X}h .endif .if (0x{:02X} - TARLEK_RAM) & 0x8000 .db "
                   "TARLEK_RAM_must_lie_in_{:02X}h_to_{:02X}h .endif",
                   kLowest, kLowest, kHighest, kHighest, kLowest, kHighest)},
      {"resident/tarlek_sdas.inc",
       fmt::format(".org 0x{:04X} lcall TARLEK_PAGE*256{} ljmp tarlek_main mov r0, #TARLEK_RAM "
                   "ret .org 0x{:04X} ljmp TARLEK_PAGE*256{}",
                   kHookReset, Plus(kEntryInit), kHookSerial, Plus(kEntrySerial))},
      {"resident/tarlek_sdas.inc",
       fmt::format("its {} bytes of state at 74h..{:02X}h", kStateBytes, 0x74 + kStateBytes - 1)},
      // SDCC
      {"resident/tarlek.h",
       fmt::format("0x{:02X}, (unsigned char)(TARLEK_PAGE), 0x{:02X}, /* {:04X}h: LCALL PP{:02X}h, "
                   "the resident's init */",
                   kOpcodeLcall, kEntryInit, kHookReset, kEntryInit)},
      {"resident/tarlek.h",
       fmt::format("TARLEK_FORWARD_(0x00), /* {:04X}h: LJMP 0030h, SDCC's start-up */", kHookMain)},
      {"resident/tarlek.h",
       fmt::format("0x{:02X}, /* {:04X}h: MOV R0,#state */", kOpcodeMovR0, kHookState)},
      {"resident/tarlek.h",
       fmt::format("0x{:02X}, 0xFF, 0xFF, /* {:04X}h: RET;", kOpcodeRet, kHookState + 2)},
      {"resident/tarlek.h",
       fmt::format("unsigned char reset[0x{:02X}]; __idata unsigned char *state; unsigned char "
                   "rest[TARLEK_CODE_LOC - 0x{:02X}];",
                   kHookState + 1, kHookState + 2)},
      {"resident/tarlek.h",
       fmt::format("#define TARLEK_LJMP_(address) 0x{:02X}, (unsigned char)((address) >> 8), "
                   "(unsigned char)(address)",
                   kOpcodeLjmp)},
      {"resident/tarlek.h",
       fmt::format("TARLEK_LJMP_((TARLEK_PAGE) * 256u + {}u), /* {:04X}h: serial port: the "
                   "resident */",
                   kEntrySerial, kHookSerial)},
      {"resident/tarlek.h", fmt::format("lcall (TARLEK_PAGE * 256 + {})", kEntryPutchar)},
      {"resident/tarlek.h",
       fmt::format("#if (TARLEK_STATE_AT) < 0x{:02X} || (TARLEK_STATE_AT) > 0x{:02X} #error "
                   "\"tarlek.h: TARLEK_STATE_AT must lie in 0x{:02X}..0x{:02X} ({} bytes, off "
                   "{:02X}h..{:02X}h)\"",
                   kLowest, kHighest, kLowest, kHighest, kStateBytes, kLowest - 2, kLowest - 1)},
      {"resident/tarlek.h", fmt::format("tarlek_state[{}];", kStateBytes)},
      {"resident/tarlek.h", fmt::format("unsigned char state[{}];", kStateBytes)},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Squeezed(c.file).find(c.snippet) != std::string::npos)
        << c.file << " no longer says, as resident/facts.txt has it: " << c.snippet;
  }
}

TEST(ResidentFacts, TheReadmesAndTheManualStateThem) {
  const struct {
    const char* file;
    std::string snippet;
  } cases[] = {
      // The hook block, every byte.
      {"resident/README.md", fmt::format("| {:04X}h..{:04X}h | `{:02X} PP {:02X}` |", kHookReset,
                                         kHookReset + 2, kOpcodeLcall, kEntryInit)},
      {"resident/README.md",
       fmt::format("| {:04X}h..{:04X}h | `{:02X} hh ll` |", kHookMain, kHookMain + 2, kOpcodeLjmp)},
      {"resident/README.md",
       fmt::format("| {:04X}h..{:04X}h | `{:02X} RR` | `MOV R0,#RR`: RR is the address of the "
                   "resident's {} bytes of state |",
                   kHookState, kHookState + 1, kOpcodeMovR0, kStateBytes)},
      {"resident/README.md", fmt::format("| {:04X}h | `{:02X}` |", kHookState + 2, kOpcodeRet)},
      {"resident/README.md", fmt::format("| {:04X}h..{:04X}h | `{:02X} PP {:02X}` |", kHookSerial,
                                         kHookSerial + 2, kOpcodeLjmp, kEntrySerial)},
      {"resident/README.md",
       fmt::format("from {:02X}h to {:02X}h (above 7Fh on an 8052 only", kLowest, kHighest)},
      // The budget.
      {"resident/README.md", fmt::format("| stack | at most {} bytes above your SP", kStackBytes)},
      {"resident/README.md", fmt::format("| internal RAM | {} bytes of state", kStateBytes)},
      {"resident/README.md", fmt::format("Keep {} bytes free above your deepest SP", kStackBytes)},
      {"resident/README.md", fmt::format("The {} bytes of state and SP+1..SP+{} above your SP",
                                         kStateBytes, kStackBytes)},
      // The protocol.
      {"resident/README.md",
       fmt::format("every byte after it is escaped, C0h as `{:02X} {:02X}` and DBh as `{:02X} "
                   "{:02X}`",
                   kFrameEscape, kFrameEscapedStart, kFrameEscape, kFrameEscapedEscape)},
      {"resident/README.md",
       fmt::format("Identify's answer: protocol version ({})", kProtocolVersion)},
      {"resident/README.md",
       fmt::format("the largest payload ({}), the commands offered (bit n for command n: {:04X}h)",
                   kLargestPayload, kCommandsOffered)},
      {"resident/README.md", fmt::format("A host reads the first {} bytes", kIdentifyLength)},
      {"resident/README.md", fmt::format("a CMD other than 01h..{:02X}h", kLastCommand)},
      // The user's steps.
      {"README.md",
       fmt::format("choose the resident's page and the {} bytes of internal RAM", kStateBytes)},
      {"README.md", fmt::format("Keep {} bytes free above your stack pointer", kStackBytes)},
      {"README.md", fmt::format("its only RAM of its own is the {} bytes", kStateBytes)},
      {"README.md", fmt::format("({} bytes for this resident, see", kStackBytes)},
      // The merge tool's manual.
      {"doc/tarlek.1",
       fmt::format("a long call (LCALL, {:02X}h) at {:04X}h to the page where the resident is to "
                   "live, and a long jump (LJMP, {:02X}h) at {:04X}h, the serial interrupt vector",
                   kOpcodeLcall, kHookReset, kOpcodeLjmp, kHookSerial)},
      {"doc/tarlek.1", fmt::format("its {} bytes of state", kStateBytes)},
      {"doc/tarlek.1",
       fmt::format("Keep at least {} bytes free above your stack pointer for the resident's serial "
                   "interrupt, never touch the {} bytes at",
                   kStackBytes, kStateBytes)},
      {"doc/tarlek.1", fmt::format("resident's start + {}", kEntryPutchar)},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Squeezed(c.file).find(c.snippet) != std::string::npos)
        << c.file << " no longer says, as resident/facts.txt has it: " << c.snippet;
  }
}

// The cells of the table rows of a Markdown text whose first cell matches
// first, each trimmed.
std::vector<std::vector<std::string>> Rows(const std::string& text, const std::regex& first) {
  std::vector<std::vector<std::string>> rows;
  const std::regex row("\\|([^\n]*)\\|\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), row); it != std::sregex_iterator();
       ++it) {
    std::vector<std::string> cells;
    const std::string inner = (*it)[1].str();
    size_t at = 0;
    while (at <= inner.size()) {
      const size_t bar = std::min(inner.find('|', at), inner.size());
      cells.push_back(std::regex_replace(inner.substr(at, bar - at), std::regex("^ +| +$"), ""));
      at = bar + 1;
    }
    if (!cells.empty() && std::regex_match(cells[0], first)) rows.push_back(cells);
  }
  return rows;
}

TEST(ResidentFacts, TheResidentReadmeTablesListThem) {
  const std::string readme = testing::ReadText(TARLEK_SOURCE_DIR "/resident/README.md");

  // The SFR writes the resident skips or keeps bits of: "81h SP | all
  // (FFh)", "87h PCON | 80h (SMOD)", "98h SCON | DBh: SM0, SM1, ...".
  std::set<std::string> stated;
  for (const auto& cells : Rows(readme, std::regex("[0-9A-F]{2}h [A-Z0-9]+"))) {
    ASSERT_GE(cells.size(), 2u);
    std::smatch kept;
    if (cells[1] == "all (FFh)") {
      stated.insert(cells[0] + " FFh");
    } else if (std::regex_match(cells[1], kept,
                                std::regex("([0-9A-F]{2}h)(?:: | \\()([^)]*)\\)?"))) {
      stated.insert(cells[0] + " " + kept[1].str() + " " + kept[2].str());
    } else {
      ADD_FAILURE() << "resident/README.md: an SFR row that says no kept bits: " << cells[1];
    }
  }
  std::set<std::string> facts;
  for (const auto& sfr : kSfrs) {
    if (sfr.kept == 0) continue;
    std::string row = fmt::format("{:02X}h {} {:02X}h", sfr.address, sfr.name, sfr.kept);
    if (sfr.kept != 0xFF) {
      std::vector<std::string_view> names;
      for (const auto name : sfr.bits) {
        if (!name.empty()) names.push_back(name);
      }
      row += fmt::format(" {}", fmt::join(names, ", "));
    }
    facts.insert(row);
  }
  EXPECT_EQ(stated, facts) << "the table of kept SFR bits in resident/README.md";

  // The commands: "| 01h | identify | ...".
  std::map<std::string, std::string> listed;
  for (const auto& cells : Rows(readme, std::regex("[0-9A-F]{2}h"))) {
    ASSERT_GE(cells.size(), 2u);
    listed[cells[0]] = cells[1];
  }
  std::map<std::string, std::string> commands;
  for (const auto& command : kCommands) {
    commands[fmt::format("{:02X}h", static_cast<unsigned>(command.code))] =
        std::string(command.name);
  }
  EXPECT_EQ(listed, commands) << "the table of commands in resident/README.md";
}

}  // namespace
}  // namespace tarlek
