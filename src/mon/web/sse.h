// Server-Sent Events, the stream that carries the samples to the page: each
// message is "id:", "event:" and "data:" lines and an empty line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarlek::plot {

// One message. data may hold several lines (ended by LF, CR LF or CR): each
// becomes a data: line, and the browser joins them with LF again. event and
// id go out only when given; a line break in them, which would end the field
// early, is dropped.
std::string SseMessage(std::string_view data, std::string_view event = {},
                       std::optional<uint64_t> id = std::nullopt);

// A comment line, which browsers ignore: it keeps an idle stream alive and
// finds a reader that has gone.
std::string SseComment(std::string_view text);

}  // namespace tarlek::plot
