#include <unistd.h>

#include "base/console.h"
#include "base/output_file.h"
#include "merge/driver.h"
#include "merge/program_state.h"

namespace {
// The run's whole state, reserved once for the life of the process.
tarlek::ProgramState g_state;
}  // namespace

int main(int argc, char* argv[]) {
  tarlek::IgnoreWriteSignals();
  tarlek::Console console(STDOUT_FILENO, tarlek::Console::WantsColour(STDOUT_FILENO));
  return tarlek::RunTarlek(argc, argv, g_state, console);
}
