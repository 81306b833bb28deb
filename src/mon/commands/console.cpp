#include <algorithm>

#include "base/failure.h"
#include "mon/commands/commands.h"

namespace tarlek::mon {

int DoConsole(const Plan& plan, Link& link, Io& io) {
  const auto end = DeadlineAfter(plan.invocation.seconds);
  try {
    // In slices, so that a partial line is given out when the program pauses.
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      link.Listen(now + std::min<Clock::duration>(end - now, std::chrono::milliseconds(50)));
      if (io.program_output != nullptr) io.program_output->Tick(Clock::now());
    }
  } catch (const Failure& failure) {
    if (failure.status() == kExitInterrupted) return kExitOk;
    throw;
  }
  return kExitOk;
}

}  // namespace tarlek::mon
