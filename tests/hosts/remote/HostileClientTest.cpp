// A hostile process of the user against the built helpers: the installed
// one (ardenvel-host-helper) and the one that serves emulated enclosures
// (ardenvel-emulated-helper) through the same loop and policy. One row per
// way the helper was found not to be a boundary; each prints what it got.
//
// ARDENVEL_HOSTILE_HELPER and ARDENVEL_HOSTILE_EMULATOR run the rows against
// other builds of the two (for an older build, both may be the helper that
// took --virtual). The client speaks frames itself and reads the greeting
// of any protocol version.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/ByteOrder.h"
#include "device/DeviceState.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
#include "hosts/remote/HostProtocol.h"
#include "hosts/remote/HostServer.h"
#include "tests/support/CommandSectors.h"
#include "tests/support/ScratchDir.h"

namespace ardenvel::remote {
namespace {

namespace fs = std::filesystem;

std::string helperPath(const char* env, const char* built) {
    const char* v = std::getenv(env);
    return v != nullptr ? v : built;
}

// A helper process on a socket pair, its standard error on a pipe.
class Helper {
public:
    explicit Helper(std::vector<std::string> argv, bool asNobody = false) {
        int ends[2], err[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(ends[1], STDIN_FILENO);
            ::dup2(ends[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
            std::vector<char*> args;
            for (std::string& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(ends[1]);
        ::close(err[1]);
        fd_ = ends[0];
        reader_ = std::make_unique<FrameReader>(fd_);
        // Read as it comes: a helper that writes more than a pipe holds must not stall.
        errors_ = std::thread([this, fd = err[0]] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                stderr_.append(buffer, static_cast<std::size_t>(n));
            ::close(fd);
        });
    }
    ~Helper() { finish(); }

    pid_t pid() const { return pid_; }
    // The greeting's protocol version; nullopt when the helper said nothing.
    std::optional<std::uint16_t> greeting() {
        std::vector<std::uint8_t> body;
        if (reader_->next(body) != FrameReader::Result::Frame) return std::nullopt;
        return parseHello(body);
    }
    // The reply body to one request; empty when the helper went away.
    std::vector<std::uint8_t> call(const Request& r) {
        std::vector<std::uint8_t> body;
        if (!writeFrame(fd_, encodeRequest(r))) return {};
        do {
            if (reader_->next(body) != FrameReader::Result::Frame) return {};
        } while (body.size() == 1 && body[0] == kNotice);
        return body;
    }
    // Closes the stream and waits: the exit status and standard error.
    int finish() {
        if (pid_ > 0) {
            ::close(fd_);
            errors_.join();
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return status_;
    }
    const std::string& errors() const { return stderr_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread errors_;
    std::unique_ptr<FrameReader> reader_;
    std::string stderr_;
    int status_ = -1;
};

Request open(unsigned drive) {
    Request r;
    r.op = Op::OpenPhysical;
    r.number = drive;
    return r;
}

Request cdb(DriveHandle h, const std::array<std::uint8_t, 10>& c, DataDirection d,
            std::vector<std::uint8_t> data) {
    Request r;
    r.op = Op::Cdb;
    r.handle = h;
    r.cdb = c;
    r.direction = d;
    r.timeoutSeconds = kRequestTimeoutSeconds;
    r.data = std::move(data);
    return r;
}

Request read(DriveHandle h, std::uint32_t lba) {
    return cdb(h, sectorCdb(kRead10, lba, 1), DataDirection::ToHost, std::vector<std::uint8_t>(kSector));
}

Request command(DriveHandle h, std::uint32_t lba, std::uint8_t code, std::uint8_t argument,
                std::uint32_t address = 0) {
    const Sector s = test::SealedCommand(code, argument, address);
    return cdb(h, sectorCdb(kWrite10, lba, 1), DataDirection::ToDevice, {s.begin(), s.end()});
}

// The handle of an open's reply, whatever the protocol version carries after it.
DriveHandle handleOf(const std::vector<std::uint8_t>& reply) {
    if (reply.size() < 9) return kInvalidHandle;
    return static_cast<DriveHandle>(readLe32(reply, 1) | std::uint64_t{readLe32(reply, 5)} << 32);
}

std::optional<Reply> cdbReply(const std::vector<std::uint8_t>& reply) {
    return parseReply(Op::Cdb, reply);
}

std::uintmax_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const std::uintmax_t n = fs::file_size(file, ec);
    return ec ? 0 : n;
}

// An enclosure that goes after its first status read and comes straight
// back: under the same number, another disk for the kernel.
constexpr char kReplugged[] = R"({"route": "lba", "timeline": [{"afterReads": 1, "event": "unplug"},
                                                         {"afterReads": 1, "event": "plug"}]})";

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    return t.substr(t.find_last_of('\n') + 1);
}

class HostileClient : public ::testing::Test {
public:
    void SetUp() override {
        dir = ardenvel::test::scratchDir("hostile");
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path enclosure(const std::string& name, const std::string& json) {
        fs::create_directories(dir / name);
        std::ofstream(dir / name / "description.json") << json;
        return dir / name;
    }
    std::unique_ptr<Helper> emulator(std::vector<std::string> args) {
        args.insert(args.begin(), helperPath("ARDENVEL_HOSTILE_EMULATOR", ARDENVEL_EMULATED_HELPER));
        return std::make_unique<Helper>(std::move(args));
    }
    // An emulated reserved-LBA enclosure at drive 0 with its standing earned.
    std::unique_ptr<Helper> bridge(DriveHandle& h, const std::string& json = R"({"route": "lba"})") {
        auto helper = emulator({"--virtual", enclosure("bridge", json).string()});
        EXPECT_TRUE(helper->greeting().has_value());
        h = handleOf(helper->call(open(0)));
        const auto answer = cdbReply(helper->call(read(h, kIdentifyLba)));
        EXPECT_TRUE(answer && answer->ok && hasSignature(answer->data.data()));
        return helper;
    }
    // A request the helper must refuse: what it answered and why it said so.
    std::string refused(Helper& helper, const Request& r) {
        const auto reply = cdbReply(helper.call(r));
        EXPECT_TRUE(reply.has_value());
        EXPECT_FALSE(reply && reply->ok) << "the helper passed it on";
        helper.finish();
        // The last refusal is this request's.
        const std::string& errors = helper.errors();
        const std::size_t at = errors.rfind(": refused ");
        EXPECT_NE(at, std::string::npos) << errors;
        const std::string line = at == std::string::npos ? "" : errors.substr(at, errors.find('\n', at) - at);
        return "failed; " + line.substr(std::min<std::size_t>(2, line.size()));
    }

    fs::path dir;
};

struct Row {
    const char* finding;
    std::function<std::string(HostileClient&)> attack;
    bool needsRoot = false;
};

TEST_F(HostileClient, EveryFindingIsClosed) {
    const std::string installed = helperPath("ARDENVEL_HOSTILE_HELPER", ARDENVEL_HOST_HELPER);
    const Row rows[] = {
        {"the installed helper serves a directory the caller names",
         [&](HostileClient& t) {
             Helper h({installed, "--virtual", t.enclosure("e", R"({"route": "lba"})").string()});
             EXPECT_FALSE(h.greeting().has_value());
             EXPECT_EQ(h.finish(), 2);
             return "exit " + std::to_string(h.finish()) + ": " + lastLine(h.errors());
         }},
        {"the emulator follows a link in its directory when it writes the flash",
         [&](HostileClient& t) {
             const fs::path e = t.enclosure("e", R"({"route": "lba"})"), victim = t.dir / "victim";
             std::ofstream(victim) << "victim";
             fs::create_symlink(victim, e / "flash.bin.tmp");
             auto h = t.emulator({"--virtual", e.string()});
             EXPECT_TRUE(h->greeting().has_value());
             h->finish();
             std::ifstream in(victim);
             const std::string left(std::istreambuf_iterator<char>(in), {});
             EXPECT_EQ(left, "victim");
             EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(e / "flash.bin")));
             return "the link's target kept its " + std::to_string(left.size()) +
                    " bytes; flash.bin is a file of " + std::to_string(sizeOf(e / "flash.bin")) + " bytes";
         }},
        {"the emulator's image generator overflows its heap for a 0x81000-byte flash",
         [&](HostileClient& t) {
             const fs::path e = t.enclosure("e", R"({"route": "lba", "flashSize": "0x81000"})");
             auto h = t.emulator({"--virtual", e.string()});
             EXPECT_TRUE(h->greeting().has_value());
             const DriveHandle d = handleOf(h->call(open(0)));
             const auto answer = cdbReply(h->call(read(d, kIdentifyLba)));
             EXPECT_TRUE(answer && answer->ok);
             EXPECT_EQ(h->finish(), 0);
             return "served; flash.bin is " + std::to_string(sizeOf(e / "flash.bin")) + " bytes";
         }},
        {"a sealed sector passes whatever command it carries",
         [&](HostileClient& t) {
             DriveHandle d;
             auto h = t.bridge(d);
             return t.refused(*h, command(d, kCommandLba, 0x30, 0));
         }},
        {"a plain disk that answers a vendor query with CHECK CONDITION hands back a forged answer",
         [&](HostileClient& t) {
             auto h = t.emulator({"--plain-disk", "0"});
             EXPECT_TRUE(h->greeting().has_value());
             const DriveHandle d = handleOf(h->call(open(0)));
             std::vector<std::uint8_t> forged(20, 0);
             forged[0] = 0x50;
             forged[1] = 0x8B;
             const auto answer =
                 cdbReply(h->call(cdb(d, bridgeQueryCdb(3, 1), DataDirection::ToHost, forged)));
             EXPECT_TRUE(answer && answer->ok) << "CHECK CONDITION still counts as completed";
             return "query answered; then a command sector " +
                    t.refused(*h, command(d, kCommandLba, 0x20, 0));
         }},
        {"standing stays with the drive number when another disk takes it",
         [&](HostileClient& t) {
             DriveHandle d;
             auto h = t.bridge(d, kReplugged);
             h->call(read(d, kRecordLba));  // the first status read: then it goes and comes back
             const DriveHandle again = handleOf(h->call(open(0)));
             EXPECT_NE(again, kInvalidHandle);
             return "back under the same number, a command sector " +
                    t.refused(*h, command(again, kCommandLba, 0x20, 0));
         }},
        {"an open does not say which disk it reached, so a reopen cannot tell a swapped disk",
         [&](HostileClient& t) {
             DriveHandle d;
             auto h = t.bridge(d, kReplugged);
             const auto first = parseReply(Op::OpenPhysical, h->call(open(0)));
             h->call(read(d, kRecordLba));
             const auto second = parseReply(Op::OpenPhysical, h->call(open(0)));
             EXPECT_TRUE(first && second);
             if (!first || !second) return std::string("no identity");
             EXPECT_NE(first->identity, second->identity);
             return "disk " + std::to_string(first->identity.sequence) + ", then disk " +
                    std::to_string(second->identity.sequence);
         }},
        {"without standing, the record and flash sectors of any disk can be read",
         [&](HostileClient& t) {
             // An enclosure, but not yet shown to be one: no LBA 58 read.
             auto h = t.emulator({"--virtual", t.enclosure("e", R"({"route": "lba"})").string()});
             EXPECT_TRUE(h->greeting().has_value());
             const DriveHandle d = handleOf(h->call(open(0)));
             return "LBA 33 " + t.refused(*h, read(d, kRecordLba));
         }},
        {"a bridge's boot area can be unlocked and erased",
         [&](HostileClient& t) {
             DriveHandle d;
             auto h = t.bridge(d);
             for (const Request& r : {command(d, 40, kVuUpdateMode, 1), command(d, 41, kVuSpiAccess, 1),
                                      command(d, 42, kVuSetReadAddress, 3, 0), read(d, kFlashDataLba)}) {
                 const auto reply = cdbReply(h->call(r));
                 EXPECT_TRUE(reply && reply->ok);
             }
             const auto unlock = cdbReply(h->call(command(d, 43, kVuProtection, 1)));
             EXPECT_TRUE(unlock && !unlock->ok);
             return "unlock failed; an erase at 0x1000 " +
                    t.refused(*h, command(d, kCommandLba, kVuErase, 0x20, 0x1000));
         }},
        {"the helper keeps every capability of root, without no_new_privs",
         [&](HostileClient&) {
             Helper h({installed});
             EXPECT_TRUE(h.greeting().has_value());
             std::ifstream in("/proc/" + std::to_string(h.pid()) + "/status");
             std::string result;
             for (std::string line; std::getline(in, line);) {
                 for (const char* key : {"CapEff:", "NoNewPrivs:", "Seccomp:"}) {
                     if (line.rfind(key, 0) != 0) continue;
                     std::string value = line.substr(line.find_first_not_of(" \t", std::strlen(key)));
                     result += (result.empty() ? "" : ", ") + std::string(key) + " " + value;
                 }
             }
             EXPECT_EQ(result, "CapEff: 0000000000020000, NoNewPrivs: 1, Seccomp: 2");
             return result;
         },
         true},
        {"a helper started by a user says nothing useful",
         [&](HostileClient&) {
             Helper h({installed}, ::geteuid() == 0);
             EXPECT_FALSE(h.greeting().has_value());
             EXPECT_EQ(h.finish(), 1);
             return "exit " + std::to_string(h.finish()) + ": " + lastLine(h.errors());
         }},
        {"every refusal is a line of its own, without limit",
         [&](HostileClient& t) {
             DriveHandle d;
             auto h = t.bridge(d);
             unsigned answered = 0;
             while (answered < 1000 && !h->call(read(d, 0)).empty()) ++answered;
             EXPECT_EQ(answered, kRefusalLimit + 1);
             EXPECT_EQ(h->finish(), 1);
             unsigned lines = 0;
             for (std::size_t at = 0; (at = h->errors().find(": refused ", at)) != std::string::npos; ++at)
                 ++lines;
             EXPECT_LE(lines, kRefusalBurst + 2);
             return "cut off after " + std::to_string(answered) + " refusals, " + std::to_string(lines) +
                    " lines, the last: " + lastLine(h->errors());
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.finding);
        if (row.needsRoot && ::geteuid() != 0) {
            std::printf("  %s: not run, needs root\n", row.finding);
            continue;
        }
        SetUp();
        std::string outcome;
        try {
            outcome = row.attack(*this);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
            outcome = std::string("threw ") + e.what();
        }
        std::printf("  %s: %s\n", row.finding, outcome.c_str());
    }
}

}  // namespace
}  // namespace ardenvel::remote
