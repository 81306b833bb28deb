// Carrying out an invocation: the plan (operands resolved against the map),
// then the command over a port.
#pragma once

#include "mon/commands/invocation.h"
#include "mon/commands/plan.h"
#include "mon/line/port.h"
#include "mon/output/io.h"

namespace tarlek::mon {

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
