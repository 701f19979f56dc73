#pragma once
// The partitioning scripts the tool writes ("select disk N", "clean", "convert
// mbr|gpt", "create partition primary [offset=KiB]", "select partition N",
// "assign letter=X", with "list disk", "online disk" and "attributes disk clear
// readonly" as no-ops) read as the one partition plan the station carries out.
// The letter the script assigns is the tool's own: letters follow the volumes
// (DriveLetters.h).
#include <optional>
#include <string>

#include "platform/Station.h"

namespace device::host {

// The plan of a script that selects one disk, cleans it, converts it and creates
// one primary partition; nullopt with `error` set for anything else, so that a
// script that cannot be carried out whole changes no disk.
std::optional<platform::PartitionPlan> ParseDiskPartScript(const std::string& script, std::string& error);

}  // namespace device::host
