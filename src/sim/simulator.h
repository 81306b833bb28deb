// tarlek-sim's run: the merged program in the s51 simulator, its serial port
// on two FIFOs in a private temporary directory that tarlek-sim holds open
// for the simulator's whole life, so that any number of tarlek-mon runs in a
// row find the line. Runs in the foreground until Ctrl-C (SIGINT, SIGTERM,
// SIGHUP) or until s51 ends, then stops s51 by its own process id and
// removes the FIFOs and the directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarlek::sim {

struct SimOptions {
  std::string program;    // the merged program, Intel HEX or .bin
  std::string cpu;        // s51's -t; empty: from the resident's baud timer
  uint32_t clock_hz = 0;  // s51's -X; 0: the resident's crystal
  std::string s51;        // the simulator; empty: s51 from PATH
  bool print_port = false;
  bool quiet = false;
};

struct SimIo {
  // Whether the text was written (the port: the run ends when it cannot be).
  std::function<bool(std::string_view)> out;
  std::function<void(std::string_view)> err;
};

// The exit status: 0 after Ctrl-C, 1 when the program, the simulator or the
// FIFOs fail (one line on err says which; s51's last words follow when it
// ended by itself).
int RunSimulator(const SimOptions& options, SimIo& io);

// Where an executable of that name is found on PATH; empty when nowhere.
std::string FindOnPath(const std::string& name, const char* path);

// A word the shell takes as it is, quoted when it must be.
std::string ShellWord(const std::string& text);

}  // namespace tarlek::sim
