// Carrying out an invocation: the plan (operands resolved against the map),
// then the command over a port.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/image_file.h"
#include "mon/commands/cli.h"
#include "mon/line/address.h"
#include "mon/line/port.h"
#include "mon/output/io.h"
#include "mon/symbols/target.h"
#include "protocol/frame.h"

namespace tarlek::mon {

// What a command is to do, its operands resolved: made before the port is
// opened.
struct Plan {
  Invocation invocation;
  // read, write, watch, plot: what the operands name, with their types (a
  // name of a .cdb) or as bytes. read: one; write: one (as bytes, as many as
  // given); watch, plot: any.
  std::vector<Target> targets;
  protocol::Bytes data;        // write as bytes
  CodeRange range{0, 0xFFFF};  // dump
  std::vector<Segment> image;  // verify: what the file holds
  bool typed = false;          // read and write a value of the target's type, not bytes
  std::string value;           // write NAME VALUE
};

// Resolves the operands, reading --map and verify's file when given: every
// file is read before the port is opened. Throws a usage Failure.
Plan MakePlan(const Invocation& invocation);

// Runs the plan's command on an open port; returns the exit status. Throws a
// Failure for an error that ends the run.
int Execute(const Plan& plan, Port& port, Io& io);

// The whole run: plan, port, command, with every Failure reported as one
// line on io.err.
int Run(const Invocation& invocation, Io& io);

}  // namespace tarlek::mon
