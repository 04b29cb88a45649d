// The USB gadget's SCSI side, checked against the Linux host's own encoding
// and decoding of ATA PASS-THROUGH, so that the two ends of the VM suite
// cannot drift apart unnoticed.

#include <gtest/gtest.h>

#include "hosts/linux/PassThrough.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/vm/gadget/BulkOnly.h"
#include "tests/vm/gadget/ScsiTarget.h"

namespace ardenvel::vmgadget {
namespace {

struct Bridge {
    explicit Bridge(virt::Route route) {
        virt::EnclosureConfig config;
        config.route = route;
        host.addEnclosure(0, config);
        target.emplace(host, host.openPhysicalDrive(0), config.status.configuredCapacity,
                       route == virt::Route::Ata || route == virt::Route::LbaAta);
    }
    virt::VirtualHost host;
    std::optional<ScsiTarget> target;
};

TEST(UsbGadgetAtaPassThrough, AnswersTheLinuxHostsRequestsWithRegistersItCanRead) {
    struct Row {
        const char* what;
        virt::Route route;
        TaskFile sent;
        std::size_t dataIn;
        bool linuxSuccess;
        std::uint8_t statusBack;  // the status register the Linux host reads back
    };
    const Row rows[] = {
        // Asked without CK_COND, the data comes with GOOD status and no
        // registers: the host reads that as a ready status.
        {"IDENTIFY on an ATA bridge", virt::Route::Ata, {0, 0, 0, 0, 0, 0xE0, 0xEC}, 512, true, 0x50},
        {"open SPI access", virt::Route::Ata, {0x03, 0, 0, 0, 0, 0xE0, 0x88}, 0, true, 0x50},
        // SPI access closed: the bridge aborts, and its registers say so.
        {"read address refused", virt::Route::Ata, {0x01, 0, 0, 0, 0, 0xE0, 0x88}, 0, false, 0x51},
        // A bridge without SAT refuses the opcode: no registers, and no success.
        {"IDENTIFY without ATA", virt::Route::Lba, {0, 0, 0, 0, 0, 0xE0, 0xEC}, 512, false, 0xEC},
        {"0x88 on a USB bridge", virt::Route::UsbShift, {0x03, 0, 0, 0, 0, 0xE0, 0x88}, 0, false, 0x88},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bridge bridge(row.route);
        const auto cdb = linuxhost::buildAtaPassThrough16(row.sent, row.dataIn);
        ASSERT_TRUE(cdb);
        const ScsiResult result = bridge.target->execute(*cdb, row.dataIn != 0, row.dataIn, {});

        const std::vector<std::uint8_t> sense = bridge.target->pendingSense();
        linuxhost::SgCompletion completion;
        completion.scsiStatus = result.good ? 0x00 : 0x02;
        completion.driverStatus = result.good ? 0x00 : 0x08;
        TaskFile registers = row.sent;
        std::vector<std::uint8_t> caller(row.dataIn, 0xA5);
        EXPECT_EQ(linuxhost::completeAtaPassThrough(completion, sense, result.data, registers, caller),
                  row.linuxSuccess);
        EXPECT_EQ(registers.command, row.statusBack);
        if (row.dataIn != 0 && row.linuxSuccess) {
            EXPECT_EQ(caller[258], 0x33);
            EXPECT_EQ(caller[259], 0x58);
        }
    }
}

TEST(UsbGadgetSense, BelongsToTheRefusedCommandAndIsReportedOnce) {
    Bridge bridge(virt::Route::Lba);
    ScsiTarget& t = *bridge.target;
    const std::uint8_t vendorRead[10] = {0xFE, 0x8B, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::uint8_t requestSense[6] = {0x03, 0, 0, 0, 18, 0};
    const std::uint8_t requestSenseDescriptor[6] = {0x03, 1, 0, 0, 18, 0};
    const std::uint8_t testUnitReady[6] = {};

    EXPECT_FALSE(t.execute(vendorRead, true, 512, {}).good);
    ScsiResult sense = t.execute(requestSense, true, 18, {});
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[0], 0x70);
    EXPECT_EQ(sense.data[2], kSenseIllegalRequest);
    EXPECT_EQ(sense.data[12], 0x24);
    EXPECT_EQ(t.execute(requestSense, true, 18, {}).data[2], kSenseNoSense) << "reported twice";

    EXPECT_FALSE(t.execute(vendorRead, true, 512, {}).good);
    EXPECT_TRUE(t.execute(testUnitReady, false, 0, {}).good);
    EXPECT_EQ(t.execute(requestSense, true, 18, {}).data[2], kSenseNoSense) << "outlived the next command";

    EXPECT_FALSE(t.execute(vendorRead, true, 512, {}).good);
    sense = t.execute(requestSenseDescriptor, true, 18, {});
    EXPECT_EQ(sense.data[0], 0x72);
    EXPECT_EQ(sense.data[1], kSenseIllegalRequest);
}

TEST(UsbGadgetBulkOnly, StallsWhenTheDataFallsShortAndCountsTheResidue) {
    std::array<std::uint8_t, 31> wrapper{0x55, 0x53, 0x42, 0x43, 7, 0, 0, 0, 0, 2, 0, 0, 0x80, 0, 10, 0xFE};
    const auto block = parseCommandBlock(wrapper);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->length, 512u);
    EXPECT_EQ(block->cdb().size(), 10u);

    const ScsiResult full{true, std::vector<std::uint8_t>(512)}, none{false, {}};
    EXPECT_FALSE(planReply(*block, full).haltIn);
    const BulkReply refused = planReply(*block, none);
    EXPECT_TRUE(refused.haltIn);
    EXPECT_EQ(refused.status[9], 2) << "residue 512";
    EXPECT_EQ(refused.status[12], 1) << "command failed";

    wrapper[0] = 0;
    EXPECT_FALSE(parseCommandBlock(wrapper));
    EXPECT_FALSE(parseCommandBlock(std::span<const std::uint8_t>(wrapper).first(30)));
}

}  // namespace
}  // namespace ardenvel::vmgadget
