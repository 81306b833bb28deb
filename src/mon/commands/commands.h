// Every command's functions, each in a file of its own in this folder: the
// plan of its operands (where it takes any) and its run over the link. The
// command table (command_table.cpp) names them; nothing else calls them.
//
// Operands of read, write, watch and plot, for each thing read or watched:
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

#include <cstdint>

#include "mon/commands/plan.h"
#include "mon/line/link.h"
#include "mon/output/io.h"
#include "mon/symbols/symbol_table.h"
#include "protocol/frame.h"

namespace tarlek::mon {

// Identify, and what the client expects of the answer: every command's first
// exchange. Notes go to standard error; a protocol it does not speak ends the
// run.
protocol::IdentifyInfo CheckedIdentify(Link& link, const Plan& plan, Io& io);
// Throws a Failure when the resident does not offer the command.
void RequireCommand(const protocol::IdentifyInfo& info, uint8_t command);

// Operands (operands.cpp).
void PlanRead(const Invocation& invocation, const SymbolTable& symbols, Plan& plan);
void PlanWrite(const Invocation& invocation, const SymbolTable& symbols, Plan& plan);
void PlanWatch(const Invocation& invocation, const SymbolTable& symbols, Plan& plan);
// dump's --range and verify's file (image.cpp).
void PlanDump(const Invocation& invocation, const SymbolTable& symbols, Plan& plan);
void PlanVerify(const Invocation& invocation, const SymbolTable& symbols, Plan& plan);

int DoIdentify(const Plan& plan, Link& link, Io& io);
// read SPACE ADDR [COUNT] as bytes, or one typed variable: NAME = VALUE, or a
// JSON object with the value.
int DoRead(const Plan& plan, Link& link, Io& io);
// write: the bytes or the value encoded for the type, written, then read
// back. A bit, an sbit or a bit-field is written by read-modify-write of its
// byte(s): only its own bits change, but a bit the program changes in the
// same byte between the read and the write is written back as it was.
int DoWrite(const Plan& plan, Link& link, Io& io);
// watch: every target sampled each interval (Sampler), shown as a table that
// redraws in place on a terminal, a line per change when piped, a JSON line
// per sample with --json; --csv FILE logs every sample with its time.
int DoWatch(const Plan& plan, Link& link, Io& io);
int DoDump(const Plan& plan, Link& link, Io& io);
int DoVerify(const Plan& plan, Link& link, Io& io);
int DoConsole(const Plan& plan, Link& link, Io& io);
// plot: samples the plan's variables while a local web page (mon/web) draws
// them, until Ctrl-C or --seconds.
int DoPlot(const Plan& plan, Link& link, Io& io);

}  // namespace tarlek::mon
