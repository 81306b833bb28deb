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

int DoTypedRead(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Target& target = plan.targets.front();
  RequireCommand(info, protocol::ReadCommand(target.place.space));
  const Bytes bytes = ReadTarget(link, target);
  const nlohmann::ordered_json value = DecodeValue(*target.type, bytes);
  if (plan.invocation.json) {
    io.out(TargetJson(target, value, bytes).dump() + "\n");
  } else {
    io.out(fmt::format("{} = {}\n", target.name,
                       FormatValue(*target.type, value, plan.invocation.hex)));
  }
  return kExitOk;
}

}  // namespace

int DoRead(const Plan& plan, Link& link, Io& io) {
  if (plan.typed) return DoTypedRead(plan, link, io);
  const auto info = CheckedIdentify(link, plan, io);
  const Item& item = plan.items.front();
  RequireCommand(info, protocol::ReadCommand(item.space));
  const Invocation& inv = plan.invocation;
  // Every check of the file comes before the reading.
  std::optional<ImageFileWriter> file;
  if (!inv.output_path.empty()) file.emplace(inv.output_path, item.address, item.count);
  const Bytes bytes = link.Read(item.space, item.address, item.count);
  if (file) {
    file->Commit(bytes);
    if (inv.json) {
      json j = ItemJson(item, bytes);
      PutFileName(j, inv.output_path);
      io.out(j.dump() + "\n");
    } else if (!inv.quiet) {
      io.out(fmt::format("{} bytes of {} from {} written to {}\n", bytes.size(),
                         SpaceName(item.space), FormatAddress(item.space, item.address),
                         inv.output_path));
    }
  } else if (inv.json) {
    io.out(ItemJson(item, bytes).dump() + "\n");
  } else if (inv.raw) {
    io.out(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } else {
    const int digits = protocol::AddressWidth(item.space) == 2 ? 4 : 2;
    io.out(HexDump(item.address, bytes, digits));
  }
  return kExitOk;
}

}  // namespace tarlek::mon
