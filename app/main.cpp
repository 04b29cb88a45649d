// ardenvel: the program over the host's own disks.

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/TForm1.h"

#ifdef _WIN32
#include "hosts/win32/Win32Host.h"
#else
#include "hosts/linux/LinuxHost.h"
#endif

int main(int argc, char** argv) {
    ardenvel::app::ProgramSetup setup;
#ifdef _WIN32
    setup.makeHost = [] { return std::make_unique<ardenvel::win32::Win32Host>(); };
#else
    ardenvel::LinuxHost* linuxHost = nullptr;
    setup.makeHost = [&linuxHost] {
        auto host = std::make_unique<ardenvel::LinuxHost>();
        linuxHost = host.get();
        return host;
    };
    // Without the rights to open the disks every enclosure stays hidden;
    // tell the user why once, after the pass that found out.
    setup.started = [&linuxHost](ardenvel::app::TForm1& form, ardenvel::Host&,
                                 ardenvel::app::Dialogs& dialogs) {
        // Queued: the box is modal, and the tick that applied the pass
        // should end first.
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
