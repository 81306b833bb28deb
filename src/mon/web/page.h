// The plot page (page.html beside this file), built into the program.
#pragma once

#include <string_view>

namespace tarlek::plot {

std::string_view PageHtml();

}  // namespace tarlek::plot
