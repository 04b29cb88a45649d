// ardenvel-demo: the program over emulated enclosures, for trying it out
// without the hardware.
//
// With no directories it builds a demo set whose enclosures change as it
// runs: a rebuild with its progress, a surface scan that finds a bad sector,
// a disk removed and inserted again, and an enclosure unplugged and plugged
// back. Monitoring is started as soon as the enclosures are found. The
// enclosures keep their flash in the state directory, so an upgrade is still
// there at the next start; the firmware images to try are generated there
// at every start, and Load Firmware opens on them. Its event log goes there
// too, apart from the log of the real enclosures.

#include <QImage>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "app/DemoSet.h"
#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/TForm1.h"
#include "hosts/virtual/VirtualHost.h"

namespace {

namespace fs = std::filesystem;
using ardenvel::BoxButtons;
using ardenvel::BoxIcon;
using ardenvel::BoxResult;
using ardenvel::virt::VirtualHost;

constexpr int kScreenshotDeadlineMs = 60000;
// About what a bridge takes per request; without it an upgrade is over
// before its progress bar, which moves once a second, has moved at all.
constexpr auto kRequestLatency = std::chrono::milliseconds(2);

struct Options {
    bool start = true;
    bool fresh = false;
    std::string screenshot;
    double afterSeconds = 1.0;
    std::string upgradeImage;
    fs::path stateDir;
    std::vector<std::string> enclosureDirs;
};

void usage(const fs::path& defaultState) {
    std::fprintf(stderr,
                 "usage: ardenvel-demo [--no-start] [--state DIR] [--fresh] [--upgrade IMAGE]\n"
                 "                     [--screenshot FILE [--after SECONDS]] [ENCLOSURE_DIR...]\n"
                 "  --no-start         do not start the monitoring once the enclosures are found\n"
                 "  --state DIR        where the demo enclosures keep their flash, the firmware\n"
                 "                     images are written and the event log goes (default %s)\n"
                 "  --fresh            forget the kept flash: the enclosures start at firmware v1\n"
                 "  --upgrade IMAGE    load IMAGE (a file, or one of the demo's images by name) and\n"
                 "                     run Start Upgrade on Device1 once the enclosures are found,\n"
                 "                     instead of starting the monitoring\n"
                 "  --screenshot FILE  save a picture of the window SECONDS (default 1) after the\n"
                 "                     enclosures are found (or the upgrade ended) and quit; message\n"
                 "                     boxes are printed and answered instead of shown\n"
                 "Load Firmware opens on the demo's images, in the state directory's %s folder:\n",
                 defaultState.string().c_str(), ardenvel::app::kDemoImageFolder);
    for (const ardenvel::app::DemoImage& d : ardenvel::app::DemoImages())
        std::fprintf(stderr, "  %-28s %s\n", d.fileName.c_str(), d.about.c_str());
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-start") {
            o.start = false;
        } else if (a == "--fresh") {
            o.fresh = true;
        } else if (a == "--state" && i + 1 < argc) {
            o.stateDir = argv[++i];
        } else if (a == "--upgrade" && i + 1 < argc) {
            o.upgradeImage = argv[++i];
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

// The Qt dialogs, with the firmware dialog opening on the demo's images. A
// run that takes a screenshot has nobody to answer a box: boxes are printed
// and answered OK (or No), and the file dialog takes the queued path.
class DemoDialogs final : public ardenvel::app::Dialogs {
public:
    DemoDialogs(fs::path imageDir, bool unattended)
        : imageDir_(std::move(imageDir)), unattended_(unattended) {}

    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                         BoxIcon icon) override {
        if (!unattended_) return qt_.messageBox(text, caption, buttons, icon);
        std::printf("[%s] %s\n", caption.c_str(), text.c_str());
        std::fflush(stdout);
        return buttons == BoxButtons::Ok ? BoxResult::Ok : BoxResult::No;
    }
    std::optional<std::string> chooseOpenFile(const std::string& filter,
                                              const std::string& startDir) override {
        if (!queued_.empty()) {
            std::string path = queued_.front();
            queued_.pop_front();
            return path;
        }
        if (unattended_) return std::nullopt;
        std::error_code ec;
        return qt_.chooseOpenFile(filter, fs::is_directory(imageDir_, ec) ? imageDir_.string() : startDir);
    }
    void queueFile(std::string path) { queued_.push_back(std::move(path)); }

private:
    ardenvel::app::QtDialogs qt_;
    fs::path imageDir_;
    bool unattended_;
    std::deque<std::string> queued_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const fs::path defaultState = ardenvel::app::DemoStateDirectory();
    if (!parse(argc, argv, options)) {
        usage(defaultState);
        return 2;
    }
    if (options.stateDir.empty()) options.stateDir = defaultState;
    const bool builtIn = options.enclosureDirs.empty();

    // The images are offered with enclosure directories too.
    const fs::path imageDir = options.stateDir / ardenvel::app::kDemoImageFolder;

    VirtualHost* virtualHost = nullptr;
    DemoDialogs* demoDialogs = nullptr;
    bool loadFailed = false;

    ardenvel::app::ProgramSetup setup;
    // The demo's enclosures are its own: so are its instance and device locks.
    std::error_code stateError;
    fs::create_directories(options.stateDir, stateError);
    setup.lockDirectory = options.stateDir;
    setup.logDirectory = options.stateDir;
    setup.makeDialogs = [&]() -> std::unique_ptr<ardenvel::app::Dialogs> {
        auto d = std::make_unique<DemoDialogs>(imageDir, !options.screenshot.empty());
        demoDialogs = d.get();
        return d;
    };
    setup.makeHost = [&]() -> std::unique_ptr<ardenvel::Host> {
        auto host = std::make_unique<VirtualHost>();
        virtualHost = host.get();
        // Only the one running copy gets here, so nobody reads them meanwhile.
        std::string imageError;
        if (ardenvel::app::WriteDemoImages(imageDir, imageError)) {
            std::printf("firmware images in %s\n", imageDir.string().c_str());
        } else {
            std::fprintf(stderr, "ardenvel-demo: no firmware images: %s\n", imageError.c_str());
        }
        if (!options.upgradeImage.empty()) {
            // A bare name is one of the demo's images.
            std::error_code ec;
            fs::path image = options.upgradeImage;
            if (!fs::exists(image, ec) && fs::exists(imageDir / image, ec)) image = imageDir / image;
            options.upgradeImage = fs::absolute(image, ec).string();
        }
        std::string error;
        if (builtIn) {
            if (options.fresh) ardenvel::app::ForgetDemoFlash(options.stateDir);
            if (ardenvel::app::BuildDemoSet(*host, options.stateDir, error)) {
                std::printf("flash kept in %s\n", options.stateDir.string().c_str());
            } else {
                std::fprintf(stderr, "ardenvel-demo: flash not kept: %s\n", error.c_str());
            }
            for (unsigned drive : {1u, 2u})
                std::printf("drive %u: %s\n", drive,
                            ardenvel::app::DescribeFlash(*host->enclosure(drive)).c_str());
        } else if (!ardenvel::app::LoadDemoDirectories(*host, options.enclosureDirs, error)) {
            std::fprintf(stderr, "ardenvel-demo: %s\n", error.c_str());
            loadFailed = true;
        }
        std::fflush(stdout);
        host->setDelayPerRequest(kRequestLatency);
        return host;
    };
    setup.started = [&](ardenvel::app::TForm1& form, ardenvel::Host&, ardenvel::app::Dialogs&) {
        if (loadFailed) {
            QTimer::singleShot(0, &form, [&form] { form.close(); });
            return;
        }
        auto upgrading = std::make_shared<bool>(false);
        auto shotTaken = std::make_shared<bool>(false);
        auto takeShot = [&form, &options, shotTaken, upgrading] {
            // Closing the window mid-upgrade would end it half done; the
            // upgrade takes the picture when it is over.
            if (*shotTaken || *upgrading) return;
            *shotTaken = true;
            const QImage shot = form.grab().toImage();
            if (shot.save(QString::fromStdString(options.screenshot), "PNG")) {
                std::printf("%s\n", options.screenshot.c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "ardenvel-demo: cannot write %s\n", options.screenshot.c_str());
            }
            form.close();
        };
        // Should no result ever come, the picture is still taken.
        if (!options.screenshot.empty())
            QTimer::singleShot(kScreenshotDeadlineMs + static_cast<int>(options.afterSeconds * 1000), &form,
                               takeShot);
        // What --upgrade does by hand, once the poll after discovery has read
        // the enclosures: Device1 on the up-down, Load Firmware, Start Upgrade.
        auto upgrade = [&form, &options, &virtualHost, &demoDialogs, upgrading, takeShot, builtIn] {
            auto* wait = new QTimer(&form);
            wait->setInterval(50);
            QObject::connect(wait, &QTimer::timeout, &form, [=, &form, &options, &virtualHost, &demoDialogs] {
                if (form.monitor().state.firstRefreshPending) return;
                wait->stop();
                wait->deleteLater();
                if (!form.Button2->isEnabled()) {
                    std::fprintf(stderr, "ardenvel-demo: Start Upgrade is not available\n");
                } else {
                    *upgrading = true;
                    form.UpDown1Click();
                    demoDialogs->queueFile(options.upgradeImage);
                    form.BitBtn1Click();
                    form.Button2Click();
                    *upgrading = false;
                    if (builtIn)
                        std::printf("drive 1: %s\n",
                                    ardenvel::app::DescribeFlash(*virtualHost->enclosure(1)).c_str());
                    std::fflush(stdout);
                }
                if (!options.screenshot.empty())
                    QTimer::singleShot(static_cast<int>(options.afterSeconds * 1000), &form, takeShot);
            });
            wait->start();
        };
        auto firstResult = std::make_shared<bool>(true);
        QObject::connect(
            &form, &ardenvel::app::TForm1::discoveryApplied, &form,
            [&options, &form, &virtualHost, firstResult, takeShot, upgrade, builtIn] {
                if (!*firstResult) return;
                *firstResult = false;
                const bool scripted = !options.upgradeImage.empty();
                if (scripted) {
                    upgrade();
                } else if (options.start && form.Button10->isEnabled()) {
                    form.Button10Click();
                }
                if (builtIn) {
                    using namespace ardenvel::app;
                    QTimer::singleShot(kDemoUnplugAfterMs, &form,
                                       [&] { virtualHost->unplug(kDemoUnplugDrive); });
                    QTimer::singleShot(kDemoPlugAfterMs, &form, [&] { virtualHost->plug(kDemoUnplugDrive); });
                }
                if (!options.screenshot.empty() && !scripted)
                    QTimer::singleShot(static_cast<int>(options.afterSeconds * 1000), &form, takeShot);
            });
    };
    const int rc = ardenvel::app::RunProgram(argc, argv, setup);
    return loadFailed ? 1 : rc;
}
