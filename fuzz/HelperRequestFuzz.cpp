// libFuzzer target over the host helper's request handling: each input is
// one frame body from a client, parsed, checked against the request policy
// and, where allowed, carried to an emulated enclosure (drive 1), a plain
// disk (drive 0) or a disk beyond discovery's reach (drive 12). A request
// that names an open handle is pointed at one of the helper's real handles,
// so the policy sees requests to every kind of drive. Whatever comes in,
// nothing may write to the plain disk or touch drive 12.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/Transport.h"
#include "hosts/remote/HostServer.h"
#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::fuzz {
namespace {

using remote::Op;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

struct World {
    World() {
        host.setTraceEnabled(false);
        host.setTraceObserver([](const virt::TraceEntry& e) {
            check(e.drive != 12, "a request reached drive 12");
            const bool write =
                e.kind == virt::TraceEntry::Kind::Cdb && e.direction == DataDirection::ToDevice;
            const bool ata = e.kind == virt::TraceEntry::Kind::Ata && e.taskIn.command != kAtaIdentify;
            check(e.drive != 0 || (!write && !ata), "a state-changing request reached the plain disk");
        });
        host.addOrdinaryDisk(0);
        host.addEnclosure(1, virt::EnclosureConfig{});
        host.addOrdinaryDisk(12);
        host.addVolume('E', kDriveFixed, 1);
        handles = {open(Op::OpenPhysical, 0, 0), open(Op::OpenPhysical, 1, 0), open(Op::OpenVolume, 0, 'E')};
        // Discovery's read of LBA 58 shows drive 1 to be a bridge.
        remote::Request r;
        r.op = Op::Cdb;
        r.handle = handles[1];
        r.cdb = sectorCdb(kRead10, 58, 1);
        r.timeoutSeconds = kRequestTimeoutSeconds;
        r.data.resize(512);
        server.answer(remote::encodeRequest(r));
    }

    DriveHandle open(Op op, unsigned number, char letter) {
        remote::Request r;
        r.op = op;
        r.number = number;
        r.letter = letter;
        const auto reply = remote::parseReply(op, *server.answer(remote::encodeRequest(r)));
        check(reply && reply->handle != kInvalidHandle, "the world's drives open");
        return reply->handle;
    }

    virt::VirtualHost host;
    remote::HostServer server{host, {}};
    std::vector<DriveHandle> handles;
};

}  // namespace
}  // namespace ardenvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ardenvel;
    static fuzz::World world;
    const std::span<const std::uint8_t> body(data, size);
    auto request = remote::parseRequest(body);
    const bool aimed =
        request && (request->op == remote::Op::Cdb || request->op == remote::Op::Ata ||
                    request->op == remote::Op::Rescan || request->op == remote::Op::VolumeDisk);
    if (!aimed) {
        const auto reply = world.server.answer(body);
        // A drive the input opened is closed again, so the world stays the same size.
        const bool opens =
            request && (request->op == remote::Op::OpenPhysical || request->op == remote::Op::OpenVolume);
        if (!opens) return 0;
        const auto opened = remote::parseReply(request->op, *reply);
        fuzz::check(opened.has_value(), "an open gets its reply");
        if (opened->handle == kInvalidHandle) return 0;
        remote::Request close;
        close.op = remote::Op::Close;
        close.handle = opened->handle;
        world.server.answer(remote::encodeRequest(close));
        return 0;
    }
    request->handle = world.handles[static_cast<std::uint64_t>(request->handle) % world.handles.size()];
    const auto reply = world.server.answer(remote::encodeRequest(*request));
    fuzz::check(reply && remote::parseReply(request->op, *reply).has_value(), "every request gets its reply");
    return 0;
}
