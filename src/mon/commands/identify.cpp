#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "base/version.h"
#include "mon/commands/commands.h"

namespace tarlek::mon {

using nlohmann::json;
using protocol::Bytes;

namespace {

// The names of the offered commands that this tarlek-mon knows
// (resident/facts.txt), in code order.
std::string CommandNames(uint16_t offered) {
  std::string out;
  for (const auto& command : resident::kCommands) {
    if (((static_cast<unsigned>(offered) >> command.code) & 1u) == 0) continue;
    if (!out.empty()) out += ", ";
    out += command.name;
  }
  return out;
}

}  // namespace

protocol::IdentifyInfo CheckedIdentify(Link& link, const Plan& plan, Io& io) {
  // The link refuses a protocol it does not speak and nonsense fields.
  const auto info = link.Identify();
  if (!plan.invocation.quiet && !plan.invocation.json) {
    if (info.baud != plan.invocation.baud && !plan.invocation.port.starts_with("fifo:")) {
      io.err(fmt::format("note: the resident was built for {} baud, the line runs at {}\n",
                         info.baud, plan.invocation.baud));
    }
    if (info.largest_payload < protocol::kSmallestLargestPayload) {
      io.err(fmt::format("note: the resident takes only {} bytes a frame\n", info.largest_payload));
    }
  }
  return info;
}

void RequireCommand(const protocol::IdentifyInfo& info, uint8_t command) {
  if (!info.Offers(command)) {
    throw Failure(kExitFailure, fmt::format("the resident does not offer {}",
                                            CommandNames(static_cast<uint16_t>(1u << command))));
  }
}

int DoIdentify(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const std::string version = fmt::format("{}.{}.{}", info.major, info.minor, info.patch);
  if (plan.invocation.json) {
    std::vector<std::string> commands;
    json j = {{"protocol", info.protocol},
              {"version", version},
              {"page", info.page},
              {"start", info.page * 256},
              {"clock_hz", info.clock_hz},
              {"baud", info.baud},
              {"largest_payload", info.largest_payload},
              {"commands", info.commands},
              {"client_version", kVersion}};
    io.out(j.dump() + "\n");
    return kExitOk;
  }
  io.out(fmt::format("resident   Tarlek {} (protocol {}) at {:04X}h, page {:02X}h\n", version,
                     info.protocol, info.page * 256, info.page));
  io.out(fmt::format("clock      {} Hz\n", info.clock_hz));
  io.out(fmt::format("baud       {}\n", info.baud));
  io.out(fmt::format("frames     up to {} bytes of payload\n", info.largest_payload));
  io.out(fmt::format("commands   {}\n", CommandNames(info.commands)));
  if (version != kVersion) {
    io.out(fmt::format("note       this tarlek-mon is version {}\n", kVersion));
  }
  return kExitOk;
}

}  // namespace tarlek::mon
