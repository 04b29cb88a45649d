// ardenvel-demo: the program over emulated enclosures, for trying it out
// without the hardware.
//
//   ardenvel-demo [--no-start] [--screenshot FILE [--after SECONDS]] [ENCLOSURE_DIR...]
//
// With no directories it builds a demo set whose enclosures change as it
// runs: a rebuild with its progress, a surface scan that finds a bad sector,
// a disk removed and inserted again, and an enclosure unplugged and plugged
// back. Monitoring is started as soon as the enclosures are found.

#include <QImage>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/DemoSet.h"
#include "app/Program.h"
#include "app/TForm1.h"
#include "platform/virtual/VirtualHost.h"

namespace {

using ardenvel::virt::VirtualHost;

constexpr int kScreenshotDeadlineMs = 60000;

struct Options {
    bool start = true;
    std::string screenshot;
    double afterSeconds = 1.0;
    std::vector<std::string> enclosureDirs;
};

void usage() {
    std::fprintf(
        stderr,
        "usage: ardenvel-demo [--no-start] [--screenshot FILE [--after SECONDS]] [ENCLOSURE_DIR...]\n");
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-start") {
            o.start = false;
        } else if (a == "--screenshot" && i + 1 < argc) {
            o.screenshot = argv[++i];
        } else if (a == "--after" && i + 1 < argc) {
            char* end = nullptr;
            o.afterSeconds = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || o.afterSeconds < 0) return false;
        } else if (a == "-h" || a == "--help" || a.rfind("--", 0) == 0) {
            return false;
        } else {
            o.enclosureDirs.push_back(a);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    VirtualHost* virtualHost = nullptr;
    bool loadFailed = false;

    ardenvel::app::ProgramSetup setup;
    setup.makeHost = [&]() -> std::unique_ptr<ardenvel::Host> {
        auto host = std::make_unique<VirtualHost>();
        virtualHost = host.get();
        std::string error;
        if (options.enclosureDirs.empty()) {
            ardenvel::app::BuildDemoSet(*host);
        } else if (!ardenvel::app::LoadDemoDirectories(*host, options.enclosureDirs, error)) {
            std::fprintf(stderr, "ardenvel-demo: %s\n", error.c_str());
            loadFailed = true;
        }
        return host;
    };
    setup.started = [&](ardenvel::app::TForm1& form, ardenvel::Host&, ardenvel::app::Dialogs&) {
        if (loadFailed) {
            QTimer::singleShot(0, &form, [&form] { form.close(); });
            return;
        }
        auto shotTaken = std::make_shared<bool>(false);
        auto takeShot = [&form, &options, shotTaken] {
            if (*shotTaken) return;
            *shotTaken = true;
            const QImage shot = form.grab().toImage();
            if (shot.save(QString::fromStdString(options.screenshot), "PNG")) {
                std::printf("%s\n", options.screenshot.c_str());
            } else {
                std::fprintf(stderr, "ardenvel-demo: cannot write %s\n", options.screenshot.c_str());
            }
            form.close();
        };
        // Should no result ever come, the picture is still taken.
        if (!options.screenshot.empty())
            QTimer::singleShot(kScreenshotDeadlineMs + static_cast<int>(options.afterSeconds * 1000), &form,
                               takeShot);
        auto firstResult = std::make_shared<bool>(true);
        QObject::connect(
            &form, &ardenvel::app::TForm1::discoveryApplied, &form,
            [&options, &form, &virtualHost, firstResult, takeShot] {
                if (!*firstResult) return;
                *firstResult = false;
                if (options.start && form.Button10->isEnabled()) form.Button10Click();
                if (options.enclosureDirs.empty()) {
                    using namespace ardenvel::app;
                    QTimer::singleShot(kDemoUnplugAfterMs, &form,
                                       [&] { virtualHost->unplug(kDemoUnplugDrive); });
                    QTimer::singleShot(kDemoPlugAfterMs, &form, [&] { virtualHost->plug(kDemoUnplugDrive); });
                }
                if (!options.screenshot.empty())
                    QTimer::singleShot(static_cast<int>(options.afterSeconds * 1000), &form, takeShot);
            });
    };
    const int rc = ardenvel::app::RunProgram(argc, argv, setup);
    return loadFailed ? 1 : rc;
}
