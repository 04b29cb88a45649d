#pragma once
// Critical events as structured entries of the systemd journal, so that
// `journalctl -p crit` and any journal forwarder see them without a hook,
// from inside the service's sandbox.

#include <optional>
#include <string>
#include <vector>

#include "eventlog/Events.h"

namespace ardenvel::cli {

// The entry's fields, "NAME=value": MESSAGE, PRIORITY=2, and ARDENVEL_EVENT,
// ARDENVEL_ENCLOSURE, ARDENVEL_DEVICE, ARDENVEL_PORT, ARDENVEL_SERIAL and
// ARDENVEL_LBAS, device text in UTF-8.
std::vector<std::string> journalFields(const LogEvent& e, const std::string& enclosure);

// Sends the entry; the error says why it could not be (no journal, or a
// build without libsystemd).
std::optional<std::string> sendToJournal(const LogEvent& e, const std::string& enclosure);

}  // namespace ardenvel::cli
