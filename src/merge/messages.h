// The fixed texts of the console: banner and usage.
#pragma once

#include "base/console.h"

namespace tarlek {

// Ends with the colour set to white.
void PrintBanner(Console& console);
// Starts in white, ends in light grey.
void PrintUsage(Console& console);

}  // namespace tarlek
