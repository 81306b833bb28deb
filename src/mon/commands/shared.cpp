#include "mon/commands/shared.h"

#include <fmt/format.h>

#include <algorithm>

namespace tarlek::mon {

nlohmann::json ItemJson(const Item& item, const Bytes& bytes) {
  nlohmann::json j = {
      {"space", SpaceName(item.space)}, {"address", item.address}, {"bytes", bytes}};
  if (!item.label.empty()) j["symbol"] = item.label;
  return j;
}

nlohmann::ordered_json TargetJson(const Target& target, const nlohmann::ordered_json& value,
                                  const Bytes& bytes) {
  return nlohmann::ordered_json{{"symbol", target.name},
                                {"type", target.type->Name()},
                                {"space", SpaceName(target.place.space)},
                                {"address", target.place.address},
                                {"value", value},
                                {"bytes", bytes}};
}

void PutFileName(nlohmann::json& j, const std::string& name) {
  try {
    static_cast<void>(nlohmann::json(name).dump());
    j["file"] = name;
  } catch (const nlohmann::json::type_error&) {
    j["file"] = nlohmann::json::parse(
        nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    j["file_bytes"] = Bytes(name.begin(), name.end());
  }
}

std::string PlaceText(const Place& place) {
  return fmt::format("{} {}", SpaceName(place.space), FormatAddress(place.space, place.address));
}

Bytes ReadTarget(Link& link, const Target& target) {
  if (target.place.sfrs.empty()) {
    return link.Read(target.place.space, target.place.address, target.type->size);
  }
  Bytes bytes;
  for (const uint8_t sfr : target.place.sfrs) {
    bytes.push_back(link.Read(Space::kSfr, sfr, 1).at(0));
  }
  return bytes;
}

void WriteTarget(Link& link, const Target& target, const Bytes& bytes) {
  if (target.place.sfrs.empty()) {
    link.Write(target.place.space, target.place.address, bytes);
    return;
  }
  for (size_t i = bytes.size(); i-- > 0;) {
    link.Write(Space::kSfr, target.place.sfrs.at(i), std::span(bytes).subspan(i, 1));
  }
}

void ProgressBar::Update(size_t done) {
  if (!io_.terminal.progress) return;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
  const int width = 30;
  const int filled = static_cast<int>(width * done / std::max<size_t>(total_, 1));
  std::string line =
      fmt::format("\r[{:<{}}] {}/{} bytes  {:.0f} B/s  {:.0f} s left ",
                  std::string(static_cast<size_t>(filled), '#'), width, done, total_, rate, left);
  io_.err(line);
  io_.footer.Shown(io_.err, std::move(line), 0);
}

void ProgressBar::Finish() {
  if (!io_.terminal.progress) return;
  io_.footer.Gone();
  io_.err("\n");
}

}  // namespace tarlek::mon
