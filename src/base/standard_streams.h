// Standard input, output and error as a tool finds them when it starts.
#pragma once

namespace tarlek {

// Each of descriptors 0, 1 and 2 that is closed gets a descriptor that fails
// every read and write with EBADF, as the closed one did, so that no file,
// FIFO or port the tool opens later takes its number and gets the text meant
// for standard output (or error) by chance. Call it first thing in main.
void HoldClosedStandardStreams();

}  // namespace tarlek
