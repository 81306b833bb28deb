// What one run of tarlek-mon is asked to do, as its command line says it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarlek::mon {

// Everything the command line says. The member initialisers are the options'
// defaults, in this one place: the help text shows them from here.
struct Invocation {
  std::string command = "identify";  // the name of an entry of the command table
  std::string port;                  // --port, else TARLEK_PORT
  uint32_t baud = 9600;
  bool json = false;
  bool quiet = false;
  std::string map_path;
  int retries = 2;
  double slack = 0.2;  // --slack, seconds
  // read, write, watch: SPACE ADDR [COUNT] / SPACE ADDR BYTE... / symbols,
  // as typed; they are resolved once the map is read.
  std::vector<std::string> operands;
  std::string output_path;     // read -o
  bool raw = false;            // read --raw
  bool raw_output = false;     // --raw-output: the program's bytes as they come, on a terminal too
  bool no_check = false;       // write --no-check: no read-back
  bool hex = false;            // read, write, watch --hex: typed integers in hexadecimal
  std::string csv_path;        // watch --csv
  double interval = 0.5;       // watch
  double plot_interval = 0.1;  // plot -i
  double seconds = 0;          // watch, console, plot: stop after this long (0: at Ctrl-C)
  std::string file;            // dump, verify
  std::string range;           // dump --range A-B
  std::string listen = "127.0.0.1:0";  // plot --listen HOST:PORT
};

}  // namespace tarlek::mon
