// CSV as RFC 4180 has it, for watch --csv and the plot's download: fields
// between commas, a line feed after each line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarlek::mon {

// A field as it stands in a line: as it is, or, when it holds a comma, a
// quote, a carriage return or a line feed, in quotes with its quotes doubled.
std::string CsvField(std::string_view text);

// The fields, each as CsvField has it, between commas, and a line feed.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace tarlek::mon
