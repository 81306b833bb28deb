#include "mon/commands/shared.h"

#include <fmt/format.h>

#include <algorithm>

namespace tarlek::mon {

nlohmann::json BytesJson(const Target& target, const Bytes& bytes) {
  const Place& place = target.place;
  nlohmann::json j = {
      {"space", SpaceName(place.space)}, {"address", place.address}, {"bytes", bytes}};
  // A target given by address is named by its place (operands.cpp).
  if (target.name != PlaceText(place)) j["symbol"] = target.name;
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

Bytes WriteTarget(Link& link, const Target& target, const Bytes& bytes) {
  if (target.place.sfrs.empty()) {
    return link.Write(target.place.space, target.place.address, bytes);
  }
  Bytes reported(bytes.size());
  bool each_reported = true;
  for (size_t i = bytes.size(); i-- > 0;) {
    const Bytes kept =
        link.Write(Space::kSfr, target.place.sfrs.at(i), std::span(bytes).subspan(i, 1));
    if (kept.empty()) {
      each_reported = false;
    } else {
      reported[i] = kept.front();
    }
  }
  return each_reported ? reported : Bytes{};
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
