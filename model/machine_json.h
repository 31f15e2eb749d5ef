// The model as JSON: the "show" document of the machine and its alerts, with the keys and
// layout of nlohmann's dump(2).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "machine_model.h"

namespace model {

// The "show" document of the machine with extra's members merged in (extra's value
// replacing the model's under the same key), written straight from the model.
std::string MachineJsonText(const Machine& m, const nlohmann::json& extra);
// The alerts as the documents list them: time, severity, GUID, kind word, message id,
// text and inserts.
nlohmann::json AlertsJson(const std::vector<zm::AlertRecord>& alerts);
// The word for an alert kind's GUID (without braces), "created_partition"...; null for
// a kind the provider does not raise.
nlohmann::json AlertKindWord(const std::string& guid);

}  // namespace model
