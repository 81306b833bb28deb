#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <optional>

#include "base/failure.h"
#include "base/image_file.h"
#include "mon/commands/commands.h"
#include "mon/commands/shared.h"
#include "mon/output/format.h"
#include "mon/symbols/value.h"

namespace tarlek::mon {

using nlohmann::json;
using protocol::Bytes;

namespace {

// NAME = VALUE, or a JSON object with the value.
void ShowValue(const Plan& plan, const Target& target, const Bytes& bytes, Io& io) {
  const nlohmann::ordered_json value = DecodeValue(*target.type, bytes);
  if (plan.invocation.json) {
    io.out(TargetJson(target, value, bytes).dump() + "\n");
  } else {
    io.out(fmt::format("{} = {}\n", target.name,
                       FormatValue(*target.type, value, plan.invocation.hex)));
  }
}

}  // namespace

int DoRead(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Target& target = plan.targets.front();
  const Space space = target.place.space;
  const uint32_t address = target.place.address;
  RequireCommand(info, protocol::ReadCommand(space));
  if (plan.typed) {
    ShowValue(plan, target, ReadTarget(link, target), io);
    return kExitOk;
  }
  const Invocation& inv = plan.invocation;
  // Every check of the file comes before the reading.
  std::optional<ImageFileWriter> file;
  if (!inv.output_path.empty()) file.emplace(inv.output_path, address, target.type->size);
  const Bytes bytes = ReadTarget(link, target);
  if (file) {
    file->Commit(bytes);
    if (inv.json) {
      json j = BytesJson(target, bytes);
      PutFileName(j, inv.output_path);
      io.out(j.dump() + "\n");
    } else if (!inv.quiet) {
      io.out(fmt::format("{} bytes of {} from {} written to {}\n", bytes.size(), SpaceName(space),
                         FormatAddress(space, address), inv.output_path));
    }
  } else if (inv.json) {
    io.out(BytesJson(target, bytes).dump() + "\n");
  } else if (inv.raw) {
    io.out(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } else {
    const int digits = protocol::AddressWidth(space) == 2 ? 4 : 2;
    io.out(HexDump(address, bytes, digits));
  }
  return kExitOk;
}

}  // namespace tarlek::mon
