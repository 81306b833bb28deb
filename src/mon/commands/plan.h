// What a run will do, resolved from its invocation before the port is
// opened: the places to read or write, the bytes or value, the files' data.
#pragma once

#include <string>
#include <vector>

#include "base/image_file.h"
#include "mon/commands/invocation.h"
#include "mon/line/address.h"
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

}  // namespace tarlek::mon
