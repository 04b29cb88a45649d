// ardenvel: the program over the host's own disks.

#include <optional>
#include <string>

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/TForm1.h"

#ifdef _WIN32
#include "hosts/win32/Win32Host.h"
#else
#include <unistd.h>

#include "hosts/ExecutableDirectory.h"
#include "hosts/linux/LinuxHost.h"
#include "hosts/remote/HelperLaunch.h"
#endif

int main(int argc, char** argv) {
    ardenvel::app::ProgramSetup setup;
#ifdef _WIN32
    // The manifest has made the program an administrator.
    setup.makeHost = [] { return std::make_unique<ardenvel::win32::Win32Host>(); };
#else
    namespace remote = ardenvel::remote;
    ardenvel::LinuxHost* linuxHost = nullptr;
    std::optional<remote::HelperLaunch> failedLaunch;
    // Root reaches the disks itself. Anyone else works through the host
    // helper, which pkexec starts after the one polkit prompt.
    setup.makeHost = [&linuxHost, &failedLaunch]() -> std::unique_ptr<ardenvel::Host> {
        if (remote::chooseHostRoute(::geteuid() == 0, true) == remote::HostRoute::Direct) {
            auto host = std::make_unique<ardenvel::LinuxHost>();
            linuxHost = host.get();
            return host;
        }
        remote::HelperLaunch launch =
            remote::launchHelper(remote::pkexecCommand(remote::helperPath(ardenvel::executableDirectory())));
        std::unique_ptr<ardenvel::Host> host = std::move(launch.host);
        if (launch.outcome != remote::LaunchOutcome::Connected) failedLaunch = std::move(launch);
        return host;
    };
    setup.started = [&linuxHost, &failedLaunch](ardenvel::app::TForm1& form, ardenvel::Host&,
                                                ardenvel::app::Dialogs& dialogs) {
        if (failedLaunch)
            ardenvel::app::showHostNotice(form, dialogs, failedLaunch->summary, failedLaunch->message);
        // Without the rights to open the disks every enclosure stays hidden;
        // tell the user why once, after the pass that found out. Queued: the
        // box is modal, and the tick that applied the pass should end first.
        QObject::connect(
            &form, &ardenvel::app::TForm1::discoveryApplied, &form,
            [&linuxHost, &dialogs] {
                if (linuxHost == nullptr) return;
                if (auto warning = linuxHost->takePrivilegeWarning())
                    dialogs.messageBox(*warning, "Message", ardenvel::BoxButtons::Ok,
                                       ardenvel::BoxIcon::Warning);
            },
            Qt::QueuedConnection);
    };
#endif
    return ardenvel::app::RunProgram(argc, argv, setup);
}
