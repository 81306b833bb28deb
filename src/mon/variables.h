// read, write and watch by name: their operands resolved against the
// program's symbols (a .cdb or a map), and the typed forms of the commands.
//
// Operands, for each thing read or watched:
//   SPACE ADDR [COUNT]    an address: with an explicit space, a valid
//                         hexadecimal number is an address, unless a
//                         variable of that name lies elsewhere in the same
//                         space (then both readings are shown and it is
//                         refused: write 0xAC or ACh for the address)
//   SPACE NAME [COUNT]    a variable, checked to lie in SPACE
//   NAME [COUNT]          a variable or C expression (sensor.temp, log[2]);
//   NAME:COUNT            with a count (hexadecimal), COUNT bytes untyped
// A name reads its own size by default (its type's, or up to the next
// symbol of a map); an address reads 16 bytes (read) or 1 (watch).
#pragma once

#include "mon/program.h"
#include "mon/run.h"

namespace tarlek::mon {

class Link;

void PlanRead(const Invocation& invocation, const Program& program, Plan& plan);
void PlanWrite(const Invocation& invocation, const Program& program, Plan& plan);
void PlanWatch(const Invocation& invocation, const Program& program, Plan& plan);

// read of one typed variable: NAME = VALUE, or a JSON object with the value.
int DoTypedRead(const Plan& plan, Link& link, Io& io);
// write NAME VALUE: the value encoded for the type and written, then read
// back. A bit, an sbit or a bit-field is written by read-modify-write of its
// byte(s): only its own bits change, but a bit the program changes in the
// same byte between the read and the write is written back as it was.
int DoTypedWrite(const Plan& plan, Link& link, Io& io);
// watch: every target sampled each interval (Sampler), shown as a table that
// redraws in place on a terminal, a line per change when piped, a JSON line
// per sample with --json; --csv FILE logs every sample with its time.
int DoWatch(const Plan& plan, Link& link, Io& io);

}  // namespace tarlek::mon
