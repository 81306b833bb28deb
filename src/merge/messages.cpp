#include "merge/messages.h"

namespace tarlek {

void PrintBanner(Console& console) {
  console.WriteLine();
  console.SetTextColour(kLightMagenta);
  console.WriteLine("                     * ZEPHYRAN Research *");
  console.SetTextColour(kLightCyan);
  console.WriteLine("                 the resident loader for 8051");
  console.SetTextColour(kYellow);
  console.WriteLine();
  console.WriteLine("                      T A R L E K");
  console.WriteLine();
  console.SetTextColour(kWhite);
}

void PrintUsage(Console& console) {
  console.SetTextColour(kWhite);
  console.WriteLine("USAGE:");
  console.WriteLine("Tarlek file [/ob or /oh]");
  console.NormalIntensity();
  console.WriteLine();
  console.WriteLine("file - INTEL HEX (*.hex) file or BIN (*.bin) file");
  console.WriteLine();
  console.WriteLine("/ob - option to force output to BIN file (*.bin)");
  console.WriteLine("/oh - option to force output to INTEL HEX file (*.hex)");
  console.WriteLine("If none of above is given, the same type as the input file is generated");
  console.WriteLine();
}

}  // namespace tarlek
