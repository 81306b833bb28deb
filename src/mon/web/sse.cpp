#include "mon/web/sse.h"

namespace tarlek::plot {

namespace {

std::string OneLine(std::string_view text) {
  std::string line;
  for (const char c : text) {
    if (c != '\n' && c != '\r') line += c;
  }
  return line;
}

}  // namespace

std::string SseMessage(std::string_view data, std::string_view event, std::optional<uint64_t> id) {
  std::string message;
  if (id) message += "id: " + std::to_string(*id) + "\n";
  if (!event.empty()) message += "event: " + OneLine(event) + "\n";
  size_t start = 0;
  for (;;) {
    const size_t end = data.find_first_of("\r\n", start);
    message += "data: ";
    message += data.substr(start, end - start);
    message += '\n';
    if (end == std::string_view::npos) break;
    start = end + (data.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  message += '\n';
  return message;
}

std::string SseComment(std::string_view text) { return ": " + OneLine(text) + "\n\n"; }

}  // namespace tarlek::plot
