#include "hosts/linux/PassThrough.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "device/Discovery.h"
#include "tests/device/DiscoveryFakeHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel::linuxhost {
namespace {

using Cdb16 = std::array<std::uint8_t, 16>;

TEST(AtaPassThrough16, IdentifyReadsOneSectorPioDataIn) {
    const TaskFile identify{0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xEC};
    const auto cdb = buildAtaPassThrough16(identify, 512);
    ASSERT_TRUE(cdb);
    // Protocol 4 in bits 4-1; T_DIR in, BYT_BLOK, T_LENGTH = count field, no
    // CK_COND (libata aborts data-in with it); the count field holds the one sector.
    const Cdb16 expected{0x85, 0x08, 0x0E, 0x00, 0x00, 0x00, 0x01, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00};
    EXPECT_EQ(*cdb, expected);
}

TEST(AtaPassThrough16, NonDataCommandKeepsEveryRegister) {
    const TaskFile readAddress{0x01, 0x07, 0x56, 0x34, 0x12, 0xE0, 0x88};
    const auto cdb = buildAtaPassThrough16(readAddress, 0);
    ASSERT_TRUE(cdb);
    const Cdb16 expected{0x85, 0x06, 0x20, 0x00, 0x01, 0x00, 0x07, 0x00,
                         0x56, 0x00, 0x34, 0x00, 0x12, 0xE0, 0x88, 0x00};
    EXPECT_EQ(*cdb, expected);
}

TEST(AtaPassThrough16, DataLengthMustBeWholeSectorsUpTo256) {
    const TaskFile any{0, 0, 0, 0, 0, 0xE0, 0xEC};
    EXPECT_FALSE(buildAtaPassThrough16(any, 100));
    EXPECT_FALSE(buildAtaPassThrough16(any, 257 * 512));
    const auto most = buildAtaPassThrough16(any, 256 * 512);
    ASSERT_TRUE(most);
    EXPECT_EQ((*most)[6], 0x00);  // 256 sectors in an 8-bit count
    EXPECT_EQ((*buildAtaPassThrough16(any, 3 * 512))[6], 3);
}

// Descriptor sense as a SAT layer returns it for CK_COND: RECOVERED ERROR,
// ATA PASS-THROUGH INFORMATION AVAILABLE, and the register descriptor.
std::vector<std::uint8_t> descriptorSense(std::vector<std::uint8_t> before = {}) {
    std::vector<std::uint8_t> sense{0x72, 0x01, 0x00, 0x1D, 0x00, 0x00, 0x00, 0x00};
    // Appended byte by byte: GCC 12 at -O2 warns falsely on a range insert here.
    for (std::uint8_t b : before) sense.push_back(b);
    for (std::uint8_t b :
         {0x09, 0x0C, 0x00, 0x04, 0x00, 0x01, 0x00, 0x11, 0x00, 0x22, 0x00, 0x33, 0xE0, 0x51})
        sense.push_back(b);
    sense[7] = static_cast<std::uint8_t>(sense.size() - 8);
    return sense;
}

TEST(SenseRegisters, DescriptorFormatAtaStatusReturn) {
    const TaskFile expected{0x04, 0x01, 0x11, 0x22, 0x33, 0xE0, 0x51};
    EXPECT_EQ(ataRegistersFromSense(descriptorSense()), expected);
    // Behind another descriptor (an information descriptor here).
    const auto later = descriptorSense({0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x3A});
    EXPECT_EQ(ataRegistersFromSense(later), expected);
    // Deferred-error descriptor sense carries registers the same way.
    auto deferred = descriptorSense();
    deferred[0] = 0x73;
    EXPECT_EQ(ataRegistersFromSense(deferred), expected);
}

TEST(SenseRegisters, DescriptorFormatWithoutUsableDescriptor) {
    // No ATA descriptor at all.
    const std::vector<std::uint8_t> none{0x72, 0x05, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_FALSE(ataRegistersFromSense(none));
    // The additional length cuts the descriptor short.
    auto cut = descriptorSense();
    cut[7] = 10;
    EXPECT_FALSE(ataRegistersFromSense(cut));
    // The device wrote less than the descriptor needs.
    auto truncated = descriptorSense();
    truncated.resize(18);
    EXPECT_FALSE(ataRegistersFromSense(truncated));
}

// Sense bytes as a real kernel handed them to SG_IO (tests/vm, Debian 12's 6.1).
std::vector<std::uint8_t> fromHex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}
// libata: IDENTIFY with CK_COND, and a command the disk aborted. Its fixed
// sense puts error, status, device and count at bytes 8-11.
const auto kLibataIdentifyCkCond = fromHex("70000B000000000A0058E001000000000000");
const auto kLibataAborted = fromHex("70000B000000000A0441E000000000000000");
// usb-storage with a SAT bridge (the VM's gadget): the command done, and aborted.
const auto kBridgeDone = fromHex("7201001D0000000E090C00000001000000000000E050");
const auto kBridgeAborted = fromHex("720B00000000000E090C00040000000000000000E051");
// A SCSI disk or a bridge without SAT: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
const auto kNoSat = fromHex("700005000000000A00000000200000000000");

TEST(SenseRegisters, FixedFormatRegistersAreNeverTaken) {
    // The SAT layout (error, status, device, count at 3-6) and libata's of
    // 6.1 (at 8-11) cannot be told apart; neither is read.
    std::vector<std::uint8_t> sat(18, 0);
    sat[0] = 0xF0;
    sat[2] = 0x01;
    sat[3] = 0x04;
    sat[4] = 0x51;
    sat[5] = 0xE0;
    sat[7] = 0x0A;
    sat[13] = 0x1D;
    EXPECT_FALSE(ataRegistersFromSense(sat));
    EXPECT_FALSE(ataRegistersFromSense(kLibataIdentifyCkCond));
    EXPECT_FALSE(ataRegistersFromSense(kLibataAborted));
}

TEST(SenseRegisters, FixedFormatWithoutAtaInformation) {
    // ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE: a bridge that does
    // not know the pass-through; bytes 3-6 are no registers.
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[3] = 0x12;
    sense[7] = 0x0A;
    sense[12] = 0x20;
    EXPECT_FALSE(ataRegistersFromSense(sense));
    EXPECT_FALSE(ataRegistersFromSense(std::span(sense).first(8)));
}

TEST(SenseRegisters, NoSenseOrUnknownResponseCode) {
    EXPECT_FALSE(ataRegistersFromSense({}));
    auto sense = descriptorSense();
    sense[0] = 0x7F;
    EXPECT_FALSE(ataRegistersFromSense(sense));
}

TEST(SgClassify, CompletedWhateverTheScsiStatus) {
    EXPECT_EQ(classify({}), SgOutcome::Completed);
    // CHECK CONDITION with sense data, as every CK_COND reply comes back.
    EXPECT_EQ(classify({0, 0x02, 0x00, 0x08}), SgOutcome::Completed);
    // Suggestion bits beside DRIVER_SENSE change nothing.
    EXPECT_EQ(classify({0, 0x02, 0x00, 0x28}), SgOutcome::Completed);
    EXPECT_EQ(classify({0, 0x08, 0x00, 0x00}), SgOutcome::Completed);  // BUSY
}

TEST(SgClassify, TransportFailuresAndTimeouts) {
    EXPECT_EQ(classify({-1, 0, 0, 0}), SgOutcome::IoctlFailed);
    EXPECT_EQ(classify({0, 0, 0x01, 0}), SgOutcome::TransportError);     // DID_NO_CONNECT
    EXPECT_EQ(classify({0, 0, 0x07, 0}), SgOutcome::TransportError);     // DID_ERROR
    EXPECT_EQ(classify({0, 0, 0x03, 0}), SgOutcome::TimedOut);           // DID_TIME_OUT
    EXPECT_EQ(classify({0, 0, 0x00, 0x06}), SgOutcome::TimedOut);        // DRIVER_TIMEOUT
    EXPECT_EQ(classify({0, 0, 0x00, 0x04}), SgOutcome::TransportError);  // DRIVER_ERROR
    EXPECT_EQ(classify({0, 0x02, 0x00, 0x0F}), SgOutcome::TransportError);
}

// Fixed sense: key at byte 2, ASC/ASCQ at 12-13.
std::vector<std::uint8_t> fixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 0x0A;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}
// Descriptor sense without descriptors: key, ASC, ASCQ at bytes 1-3.
std::vector<std::uint8_t> bareDescriptorSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return {0x72, key, asc, ascq, 0, 0, 0, 0};
}

// An ATA PASS-THROUGH succeeds only when the drive's registers came back: a
// bridge that does not carry it answers CHECK CONDITION too.
TEST(AtaVerdict, OnlyTheAtaReturnInTheSenseIsSuccess) {
    constexpr SgCompletion kGood{0, 0x00, 0, 0};
    constexpr SgCompletion kCheck{0, 0x02, 0, 0x08};
    auto aborted = descriptorSense();
    aborted[1] = 0x0B;  // ABORTED COMMAND, registers carried: the drive's own ATA error
    aborted[3] = 0x00;
    const struct {
        const char* what;
        SgCompletion completion;
        std::vector<std::uint8_t> sense;
        bool ok;
    } cases[] = {
        {"good status, no sense", kGood, {}, true},
        {"check condition, no sense", kCheck, {}, false},
        {"no sense key", kCheck, fixedSense(0x00, 0x00, 0x00), false},
        {"recovered 00/1D fixed", kCheck, fixedSense(0x01, 0x00, 0x1D), true},
        {"recovered 00/1D descriptor with registers", kCheck, descriptorSense(), true},
        {"recovered 00/1D descriptor alone", kCheck, bareDescriptorSense(0x01, 0x00, 0x1D), true},
        {"aborted, registers carried", kCheck, aborted, false},
        {"libata IDENTIFY with CK_COND", kCheck, kLibataIdentifyCkCond, false},
        {"libata, aborted by the disk", kCheck, kLibataAborted, false},
        {"SAT bridge, done", kCheck, kBridgeDone, true},
        {"SAT bridge, aborted", kCheck, kBridgeAborted, false},
        {"no SAT", kCheck, kNoSat, false},
        {"illegal request 20/00", kCheck, fixedSense(0x05, 0x20, 0x00), false},
        {"illegal request 24/00", kCheck, fixedSense(0x05, 0x24, 0x00), false},
        {"illegal request 24/00 descriptor", kCheck, bareDescriptorSense(0x05, 0x24, 0x00), false},
        {"aborted command", kCheck, fixedSense(0x0B, 0x00, 0x00), false},
        {"not ready", kCheck, fixedSense(0x02, 0x04, 0x00), false},
        {"host time-out", {0, 0x02, 0x03, 0x08}, fixedSense(0x01, 0x00, 0x1D), false},
        {"host error", {0, 0x00, 0x07, 0x00}, {}, false},
        {"driver time-out", {0, 0x00, 0x00, 0x06}, {}, false},
        {"ioctl refused", {-1, 0, 0, 0}, {}, false},
        {"busy", {0, 0x08, 0, 0}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ataPassThroughSucceeded(c.completion, c.sense), c.ok);
        // The caller's buffer changes exactly when the request succeeded.
        std::array<std::uint8_t, 512> held;
        held.fill(0x33);
        const std::array<std::uint8_t, 512> received{};
        TaskFile regs{0, 0, 0, 0, 0, 0xE0, 0xEC};
        EXPECT_EQ(completeAtaPassThrough(c.completion, c.sense, received, regs, held), c.ok);
        EXPECT_EQ(held[258], c.ok ? 0x00 : 0x33);
        // Registers come back from the descriptor alone, a refusal's too; a
        // success without them is no ERR or DF, never the command as a status.
        const bool descriptor = !c.sense.empty() && c.sense[0] == 0x72 && c.sense.size() > 8;
        EXPECT_EQ(regs.command != 0xEC, descriptor || c.ok);
        if (c.ok && !descriptor) {
            EXPECT_FALSE(ataReturnFailed(regs));
        }
    }
}

// A USB bridge found by its LBA 58 sector that refuses ATA PASS-THROUGH with
// ILLEGAL REQUEST, SG_IO having zeroed the data buffer on the way.
class RefusingBridge : public test::FakeHost {
public:
    bool sendAta(DriveHandle, TaskFile& regs, std::span<std::uint8_t> data) override {
        const std::vector<std::uint8_t> zeros(data.size(), 0);
        return completeAtaPassThrough({0, 0x02, 0, 0x08}, fixedSense(0x05, 0x20, 0x00), zeros, regs, data);
    }
};

TEST(AtaVerdict, RefusedIdentifyKeepsTheLba58AnswerInTheSectorBuffer) {
    RefusingBridge host;
    host.drives[0] = test::FakeDrive{.lbaSignature = true};
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    RecountDrives(dev);
    ASSERT_TRUE(RunDiscovery(dev));
    ApplyDiscoveryResult(dev);
    ASSERT_EQ(dev.tables.deviceCount, 1);
    EXPECT_EQ(dev.tables.deviceTable[0], kLbaPath);
    EXPECT_EQ(dev.tables.sectorBuffers[0][46], 0x58);  // the LBA 58 answer, not zeros
    EXPECT_EQ(dev.tables.sectorBuffers[0][259], 0x58);
}

TEST(SgClassify, TimeoutInMilliseconds) {
    EXPECT_EQ(timeoutMsFromSeconds(2), 2000u);
    EXPECT_EQ(timeoutMsFromSeconds(200), 200000u);
    EXPECT_EQ(timeoutMsFromSeconds(5'000'000), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace ardenvel::linuxhost
