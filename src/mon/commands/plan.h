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

// A range of one memory space, as read or watched.
struct Item {
  Space space = Space::kCode;
  uint32_t address = 0;
  uint32_t count = 0;
  std::string label;  // the symbol's name, when given by one
  bool operator==(const Item&) const = default;
};

struct Plan {
  Invocation invocation;
  std::vector<Item> items;     // read: one; write: one (count = data size); watch: any
  protocol::Bytes data;        // write
  Range range{0, 0xFFFF};      // dump
  std::vector<Segment> image;  // verify: what the file holds
  // read, write, watch, plot: what the operands name, with their types (a name of
  // a .cdb) or as bytes; items holds the same as ranges.
  std::vector<Target> targets;
  bool typed = false;  // read and write by type: DoTypedRead, DoTypedWrite
  std::string value;   // write NAME VALUE
};

}  // namespace tarlek::mon
