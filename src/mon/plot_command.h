// tarlek-mon plot: samples the plan's variables while a local web page
// (src/plot) draws them, until Ctrl-C or --seconds.
#pragma once

#include "mon/link.h"
#include "mon/run.h"

namespace tarlek::mon {

// Runs the plot on a link whose resident has answered identify and offers
// the reads the items need. Returns the exit status; throws a Failure when
// the server cannot start or the link fails.
int RunPlot(const Plan& plan, Link& link, Io& io);

}  // namespace tarlek::mon
