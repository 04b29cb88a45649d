#include "cli/JournalChannel.h"

#include <cstring>

#ifdef ARDENVEL_HAVE_SYSTEMD
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#endif

#include "monitor/DeviceText.h"

namespace ardenvel::cli {

#ifdef ARDENVEL_HAVE_SYSTEMD
namespace {
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
}  // namespace
#endif

std::vector<std::string> journalFields(const LogEvent& e, const std::string& enclosure) {
    // Appended, not "NAME=" + value: GCC 12 warns falsely (-Wrestrict) on that.
    auto field = [](const char* name, const std::string& value) { return std::string(name).append(value); };
    std::string lbas, message = eventSummary(e);
    for (std::uint32_t lba : e.lbas) (lbas += lbas.empty() ? "" : " ") += std::to_string(lba);
    if (!lbas.empty()) message.append(": LBA ").append(lbas);
    return {
        field("MESSAGE=", message),
        // crit: a disk is lost or losing data. The test event takes the same
        // road, so that a test shows what a real alert would do.
        "PRIORITY=2",
        "SYSLOG_IDENTIFIER=ardenvel-monitor",
        field("ARDENVEL_EVENT=", eventName(e.kind)),
        field("ARDENVEL_ENCLOSURE=", enclosure),
        field("ARDENVEL_DEVICE=", e.kind == EventKind::Test ? std::string() : std::to_string(e.slot + 1)),
        field("ARDENVEL_PORT=", e.port >= 0 ? std::to_string(e.port) : std::string()),
        field("ARDENVEL_SERIAL=", deviceTextTrimmed(e.serial)),
        field("ARDENVEL_LBAS=", lbas),
    };
}

std::optional<std::string> sendToJournal(const LogEvent& e, const std::string& enclosure) {
#ifdef ARDENVEL_HAVE_SYSTEMD
    // libsystemd drops an entry silently where there is no journal.
    if (::access(kJournalSocket, F_OK) != 0)
        return std::string("No systemd journal here: no ") + kJournalSocket;
    const std::vector<std::string> fields = journalFields(e, enclosure);
    std::vector<iovec> iov;
    for (const std::string& f : fields) iov.push_back({const_cast<char*>(f.data()), f.size()});
    const int rc = sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
    if (rc < 0) return std::string("Cannot write to the systemd journal: ") + std::strerror(-rc);
    return std::nullopt;
#else
    (void)e;
    (void)enclosure;
    return "This build has no systemd journal";
#endif
}

}  // namespace ardenvel::cli
