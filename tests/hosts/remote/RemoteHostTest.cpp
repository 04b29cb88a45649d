// The wire between RemoteHost and the host helper, and starting the helper:
// frames that round-trip and nothing else parses, notices, a helper that
// goes away or speaks another version, and what the launch tells the user.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "hosts/remote/HelperLaunch.h"
#include "hosts/remote/HostServer.h"
#include "hosts/remote/InProcessHelper.h"
#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::remote {
namespace {

namespace fs = std::filesystem;

Request randomRequest(std::mt19937& rng) {
    auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
    Request r;
    r.op = static_cast<Op>(1 + rng() % 10);
    r.number = rng();
    r.letter = static_cast<char>(byte());
    r.handle = static_cast<DriveHandle>(rng()) - 50;
    for (auto& b : r.cdb) b = byte();
    r.direction = static_cast<DataDirection>(rng() % 2);
    r.timeoutSeconds = rng() % 300;
    r.registers = TaskFile{byte(), byte(), byte(), byte(), byte(), byte(), byte()};
    r.data.resize(r.op == Op::Ata ? 512 * (rng() % 3) : rng() % 600);
    for (auto& b : r.data) b = byte();
    return r;
}

TEST(HostProtocol, EveryRequestRoundTripsAndNoCutOrPaddedOneParses) {
    std::mt19937 rng(18);
    for (int i = 0; i < 300; ++i) {
        const Request r = randomRequest(rng);
        const auto body = encodeRequest(r);
        const auto back = parseRequest(body);
        ASSERT_TRUE(back.has_value()) << i;
        EXPECT_EQ(encodeRequest(*back), body) << i;
        for (std::size_t cut = 0; cut < body.size(); cut += 1 + cut / 8)
            ASSERT_FALSE(parseRequest(std::span(body).first(cut)).has_value()) << i << " cut at " << cut;
        auto padded = body;
        padded.push_back(0);
        ASSERT_FALSE(parseRequest(padded).has_value()) << i;
    }
}

// The far end of a socket pair, played by the test.
struct Wire {
    Wire() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    ~Wire() {
        if (ends[1] >= 0) ::close(ends[1]);
    }
    void hangUp() {
        ::close(ends[1]);
        ends[1] = -1;
    }
    int ends[2] = {-1, -1};
};

TEST(RemoteHost, RefusesAHelperOfAnotherVersion) {
    Wire wire;
    RemoteHost host(wire.ends[0], wire.ends[0]);
    auto hello = encodeHello();
    hello[5] = kProtocolVersion + 1;
    ASSERT_TRUE(writeFrame(wire.ends[1], hello));
    std::string error;
    EXPECT_FALSE(host.handshake(error));
    EXPECT_NE(error.find("protocol version " + std::to_string(kProtocolVersion + 1)), std::string::npos)
        << error;
    EXPECT_EQ(host.openPhysicalDrive(0), kInvalidHandle);
}

TEST(RemoteHost, AHelperThatGoesAwayFailsEveryRequestAndIsReportedOnce) {
    Wire wire;
    RemoteHost host(wire.ends[0], wire.ends[0]);
    ASSERT_TRUE(writeFrame(wire.ends[1], encodeHello()));
    std::string error;
    ASSERT_TRUE(host.handshake(error)) << error;
    std::atomic<int> notices{0};
    std::thread watch([&] { host.setDeviceChangeHandler([&] { ++notices; }); });
    FrameReader requests(wire.ends[1]);
    std::vector<std::uint8_t> body;
    ASSERT_EQ(requests.next(body), FrameReader::Result::Frame);
    ASSERT_EQ(parseRequest(body)->op, Op::Watch);
    ASSERT_TRUE(writeFrame(wire.ends[1], encodeReply(Op::Watch, {})));
    watch.join();
    wire.hangUp();
    for (int i = 0; i < 200 && notices == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(host.openPhysicalDrive(0), kInvalidHandle);
    EXPECT_EQ(host.logicalDriveMask(), 0u);
    EXPECT_EQ(notices.load(), 1);
}

TEST(RemoteHost, DeviceChangesArriveWithoutARequest) {
    virt::VirtualHost inner;
    inner.addOrdinaryDisk(3);
    InProcessHelper helper(inner);
    std::atomic<int> notices{0};
    helper.host().setDeviceChangeHandler([&] { ++notices; });
    inner.unplug(3);
    for (int i = 0; i < 200 && notices == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(notices.load(), 1);
    // The stream is still in step for requests.
    EXPECT_EQ(helper.host().openPhysicalDrive(3), kInvalidHandle);
    inner.plug(3);
    const DriveHandle h = helper.host().openPhysicalDrive(3);
    EXPECT_NE(h, kInvalidHandle);
    helper.host().closeDrive(h);
}

TEST(HostServer, EndsTheSessionOnAMalformedOrOversizedFrame) {
    virt::VirtualHost inner;
    for (const std::vector<std::uint8_t>& frame : {std::vector<std::uint8_t>{1, 0, 0, 0, 0x42},
                                                   std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x7F, 1}}) {
        Wire wire;
        std::vector<std::string> refusals;
        HostServer server(inner, [&](const std::string& line) { refusals.push_back(line); });
        std::thread loop([&] { EXPECT_FALSE(server.serve(wire.ends[0], wire.ends[0])); });
        ASSERT_EQ(::write(wire.ends[1], frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        loop.join();
        ::close(wire.ends[0]);
        ASSERT_EQ(refusals.size(), 2u);
        EXPECT_EQ(refusals[0].rfind("refused ", 0), 0u) << refusals[0];
        EXPECT_EQ(refusals[1], "session ended after 1 refused requests");
    }
}

struct Launch {
    std::vector<std::string> command;
    LaunchOutcome outcome;
};

TEST(HelperLaunch, TellsADeclinedPromptFromAHelperThatCannotStart) {
    const fs::path dir = fs::temp_directory_path() / ("ardenvel-launch-" + std::to_string(::getpid()));
    fs::create_directories(dir / "e");
    std::ofstream(dir / "e" / "description.json") << R"({ "route": "lba" })";
    const Launch cases[] = {
        {{"/bin/sh", "-c", "exit 126"}, LaunchOutcome::Declined},  // pkexec: prompt dismissed
        {{"/bin/sh", "-c", "exit 127"}, LaunchOutcome::Declined},  // pkexec: not authorised
        {{"/bin/sh", "-c", "exit 1"}, LaunchOutcome::Failed},
        {{(dir / "no-such-helper").string()}, LaunchOutcome::HelperMissing},
        {{"pkexec", (dir / "no-such-helper").string()}, LaunchOutcome::HelperMissing},  // no prompt for it
        {{ARDENVEL_EMULATED_HELPER, "--virtual", (dir / "e").string()}, LaunchOutcome::Connected},
    };
    for (const Launch& c : cases) {
        SCOPED_TRACE(c.command.front() + " " + c.command.back());
        // Until it is up, the helper's standard error is read for the reason;
        // then it goes on to ours.
        ::testing::internal::CaptureStderr();
        HelperLaunch launch = launchHelper(c.command);
        ASSERT_NE(launch.host, nullptr);
        EXPECT_EQ(launch.outcome, c.outcome) << launch.message;
        EXPECT_EQ(launch.message.empty(), c.outcome == LaunchOutcome::Connected) << launch.message;
        if (c.outcome == LaunchOutcome::Declined) {
            EXPECT_EQ(launch.message, kHelperDeclinedMessage);
            EXPECT_EQ(launch.summary, kHelperDeclinedSummary);
        }
        if (c.outcome != LaunchOutcome::Connected) {
            EXPECT_EQ(launch.host->openPhysicalDrive(0), kInvalidHandle);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
            continue;
        }
        const DriveHandle h = launch.host->openPhysicalDrive(0);
        EXPECT_NE(h, kInvalidHandle);
        launch.host->closeDrive(h);
        EXPECT_EQ(launch.host->openPhysicalDrive(42), kInvalidHandle);  // refused, and said so
        // Going away ends the helper: it has been waited for.
        const int pid = launch.pid;
        launch.host.reset();
        EXPECT_NE(::kill(pid, 0), 0);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("refused"), std::string::npos);
    }
    fs::remove_all(dir);
}

TEST(HelperLaunch, AProgramInItsBuildTreeUsesTheHelperBuiltBesideIt) {
    const fs::path built = ARDENVEL_HOST_HELPER;
    EXPECT_EQ(helperPath(built.parent_path().parent_path() / "app"), built);
    EXPECT_NE(helperPath("/usr/bin"), built);
    // Installed, it moves with the prefix the programs were installed under.
    const fs::path usr = helperPath("/usr/bin"), opt = helperPath("/opt/ardenvel/bin");
    EXPECT_EQ(usr.filename(), "ardenvel-host-helper");
    EXPECT_EQ(usr.string().rfind("/usr/", 0), 0u) << usr;
    EXPECT_EQ(opt, fs::path("/opt/ardenvel") / usr.lexically_relative("/usr"));
}

}  // namespace
}  // namespace ardenvel::remote
