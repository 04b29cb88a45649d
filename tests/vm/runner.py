#!/usr/bin/env python3
"""Boots Debian's kernel in QEMU (TCG) with ordinary disks of every kind and
two emulated enclosures as USB gadgets, and runs the scenarios of
tests/vm/scenarios.sh in it; then checks what they left in the out directory.

    runner.py run   --build BUILD --out OUT      the boots (ctest vm.boot.*)
    runner.py check NAME --build BUILD --out OUT one scenario's verdict

The VM talks back through the out share and, for what only the host can do
(hashing the disk images, hot-plugging QEMU's disks), through marker lines
on its console: "@@ardv ask SEQ VERB ARGS..." is answered by writing
OUT/acks/SEQ. QEMU exits 0 whatever happened, so nothing is taken from its
exit status."""

import argparse
import fcntl
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import checks  # noqa: E402
import initramfs  # noqa: E402
import kernel  # noqa: E402
from qmp import Qmp  # noqa: E402

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
SKIP = 77
BOOT_TIMEOUT = 420  # seconds for one boot, whatever the VM does
IMAGE_BYTES = 16 << 20

# QEMU's own disks at boot, by the name the scenarios know them by.
ORDINARY = {
    "ahci": ["-drive", "if=none,id=d-ahci,file={img},format=raw", "-device", "ide-hd,drive=d-ahci,bus=ide.0"],
    "usb": ["-drive", "if=none,id=d-usb,file={img},format=raw",
            "-device", "usb-storage,drive=d-usb,bus=xhci.0,serial=ARDV-USB-STICK"],
    "uas": ["-device", "usb-uas,id=uas,bus=xhci.0",
            "-drive", "if=none,id=d-uas,file={img},format=raw", "-device", "scsi-hd,drive=d-uas,bus=uas.0"],
    "virtio-blk": ["-drive", "if=none,id=d-vblk,file={img},format=raw", "-device", "virtio-blk-pci,drive=d-vblk"],
    "virtio-scsi": ["-device", "virtio-scsi-pci,id=vscsi",
                    "-drive", "if=none,id=d-vscsi,file={img},format=raw", "-device", "scsi-hd,drive=d-vscsi,bus=vscsi.0"],
    "nvme": ["-drive", "if=none,id=d-nvme,file={img},format=raw", "-device", "nvme,drive=d-nvme,serial=ARDV-NVME"],
}
# USB disks the scenarios plug in and out through QMP.
HOTPLUG = ["usb-hot1", "usb-hot2"]


def log(*parts):
    print("vm:", *parts, flush=True)


def make_image(path, seed):
    """Seeded bytes under an MBR with one partition, like a used disk."""
    rng = random.Random(seed)
    data = bytearray(rng.randbytes(IMAGE_BYTES))
    mbr = bytearray(512)
    sectors = IMAGE_BYTES // 512
    entry = bytes([0x00, 0, 0, 0, 0x83, 0, 0, 0]) + (2048).to_bytes(4, "little") + (sectors - 2048).to_bytes(4, "little")
    mbr[440:444] = seed.to_bytes(4, "little")
    mbr[446:462] = entry
    mbr[510:512] = b"\x55\xAA"
    data[0:512] = mbr
    path.write_bytes(bytes(data))


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


class Boot:
    """One run of the VM: QEMU, its console, the markers, the time-out."""

    def __init__(self, name, build, out, kinfo, initrd):
        self.name = name
        self.build = build
        self.out = out
        self.dir = out
        self.acks = out / "acks"
        self.kinfo = kinfo
        self.initrd = initrd
        self.images = {n: out / "disks" / f"{n}.img" for n in list(ORDINARY) + HOTPLUG}
        self.hashes = []  # (label, {disk: sha256})
        self.plugged = set()
        self.answered = set()
        self.markers = []

    def command(self):
        qmp = self.dir / "qmp.sock"
        cmd = [
            "qemu-system-x86_64", "-machine", "q35", "-accel", "tcg", "-smp", "1", "-m", "512M",
            "-nic", "none", "-nodefaults", "-display", "none", "-no-reboot", "-serial", "stdio",
            "-kernel", str(self.kinfo["vmlinux"]), "-initrd", str(self.initrd),
            "-append", " ".join(["console=ttyS0", "panic=-1", "loglevel=3", "udev.log_level=err",
                                 f"ardv.build={self.build}", f"ardv.out={self.out}", f"ardv.boot={self.name}"]),
            "-qmp", f"unix:{qmp},server=on,wait=off",
            "-virtfs", f"local,path={self.build},mount_tag=build,security_model=none,readonly=on",
            "-virtfs", f"local,path={self.out},mount_tag=out,security_model=none",
            "-device", "qemu-xhci,id=xhci,p2=8,p3=8",
        ]
        for disk, args in ORDINARY.items():
            cmd += [a.format(img=self.images[disk]) for a in args]
        return cmd, qmp

    def hash_images(self, label):
        # Only images QEMU has open are the VM's disks.
        sums = {d: sha256(p) for d, p in self.images.items() if d in ORDINARY or d in self.plugged or p.exists()}
        self.hashes.append((label, sums))
        return "ok"

    def answer(self, seq, verb, args, qmp):
        if verb == "hash":
            return self.hash_images(args[0])
        if verb == "usb-add":
            disk = args[0]
            qmp.execute("blockdev-add", **{"node-name": disk, "driver": "raw",
                                            "file": {"driver": "file", "filename": str(self.images[disk])}})
            qmp.execute("device_add", driver="usb-storage", id=f"{disk}-dev", bus="xhci.0", drive=disk,
                        serial=f"ARDV-{disk.upper()}")
            self.plugged.add(disk)
            return "ok"
        if verb == "usb-del":
            disk = args[0]
            qmp.execute("device_del", id=f"{disk}-dev")
            qmp.wait_event("DEVICE_DELETED", lambda e: e.get("data", {}).get("device") == f"{disk}-dev")
            qmp.execute("blockdev-del", **{"node-name": disk})
            self.plugged.discard(disk)
            return "ok"
        return f"unknown verb {verb}"

    def run(self):
        cmd, qmp_path = self.command()
        (self.dir / "kernel.txt").write_text(f"{self.kinfo['package']} {self.kinfo['version']}\n")
        (self.dir / "qemu-command").write_text(" ".join(cmd) + "\n")
        started = time.monotonic()
        console = open(self.dir / "console.log", "wb")
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        timer = threading.Timer(BOOT_TIMEOUT, proc.kill)
        timer.start()
        qmp = None
        booted = done = None
        try:
            qmp = Qmp(qmp_path)
            for raw in proc.stdout:
                console.write(raw)
                console.flush()
                line = raw.decode(errors="replace")
                m = re.search(r"@@ardv (\S+)(.*)", line)
                if not m:
                    continue
                kind, rest = m.group(1), m.group(2).split()
                now = time.monotonic() - started
                if kind == "booted":
                    booted = now
                    log(f"{self.name}: kernel {rest[0]} up after {now:.1f} s (guest uptime {rest[1]} s)")
                elif kind == "ask" and rest and rest[0] not in self.answered:
                    seq, verb, args = rest[0], rest[1], rest[2:]
                    self.answered.add(seq)
                    reply = self.answer(seq, verb, args, qmp)
                    self.acks.mkdir(exist_ok=True)
                    (self.acks / seq).write_text(reply + "\n")
                elif kind == "step":
                    log(f"{self.name}: {' '.join(rest)} at {now:.1f} s")
                elif kind in ("done", "init-failed"):
                    done = (kind, rest, now)
        finally:
            timer.cancel()
            if proc.poll() is None:
                proc.wait(timeout=30)
            if qmp:
                qmp.close()
            console.close()
        elapsed = time.monotonic() - started
        result = {
            "boot": self.name,
            "booted_after": booted,
            "seconds": elapsed,
            "finished": bool(done and done[0] == "done"),
            "timed_out": elapsed >= BOOT_TIMEOUT,
            "hashes": self.hashes,
        }
        (self.dir / "boot.json").write_text(json.dumps(result, indent=1) + "\n")
        return result


def programs(build):
    vm = build / "tests" / "vm"
    return {
        "cli": build / "cli" / "ardenvel-cli",
        "helper": build / "hosts" / "remote" / "ardenvel-host-helper",
        "image": build / "tools" / "make-firmware-image",
        "gadget": vm / "ardenvel-vm-gadget",
        "senseprobe": vm / "ardenvel-vm-senseprobe",
        "drivenumbers": vm / "ardenvel-vm-drivenumbers",
        "pkexec": vm / "ardenvel-vm-pkexec",
    }


# The enclosure directories each boot serves as USB gadgets.
BOOTS = {
    "steady": {"mirror-lba": SOURCE / "examples" / "mirror-lba",
               "ata-bay": HERE / "enclosures" / "ata-bay",
               "usb-rebuild": HERE / "enclosures" / "usb-rebuild"},
    "hotplug": {"mirror-lba": SOURCE / "examples" / "mirror-lba",
                "usb-striping": SOURCE / "examples" / "usb-striping"},
}


def unavailable(out, reason):
    out.mkdir(parents=True, exist_ok=True)
    (out / "unavailable").write_text(reason + "\n")
    if os.environ.get("CI", "").lower() == "true":
        print(f"vm: FAIL: {reason}", flush=True)
        return 1
    print(f"vm: SKIP: {reason}", flush=True)
    return SKIP


class CacheLock:
    """One preparation of the kernel cache at a time: the boots run in parallel."""

    def __init__(self, path):
        path.parent.mkdir(parents=True, exist_ok=True)
        self.file = open(path, "w")

    def __enter__(self):
        fcntl.flock(self.file, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        fcntl.flock(self.file, fcntl.LOCK_UN)


def run(args):
    build, out = args.build.resolve(), (args.out / args.boot).resolve()
    cache = build / "tests" / "vm" / "cache"
    if out.exists():
        shutil.rmtree(out)
    try:
        with CacheLock(cache / "lock"):
            kinfo = kernel.prepare(cache)
    except kernel.Unavailable as e:
        return unavailable(out, str(e))
    log(f"kernel {kinfo['package']} {kinfo['version']} ({kinfo['release']}), udev {kinfo['udev_version']}")

    (out / "disks").mkdir(parents=True)
    progs = programs(build)
    missing = [str(p) for p in progs.values() if not p.exists()]
    if missing:
        print(f"vm: FAIL: not built: {' '.join(missing)}", flush=True)
        return 1
    for seed, disk in enumerate(list(ORDINARY) + HOTPLUG, start=1):
        make_image(out / "disks" / f"{disk}.img", seed)
    for name, source in BOOTS[args.boot].items():
        shutil.copytree(source, out / "input" / name)
    shutil.copy2(HERE / "scenarios.sh", out / "input" / "scenarios.sh")
    subprocess.run([str(progs["image"]), "--version", "v2", str(out / "input" / "up.bin")],
                   check=True, stdout=subprocess.DEVNULL)
    started = time.monotonic()
    initrd = out / "initramfs.cpio"
    initramfs.build(initrd, kinfo, [p for k, p in progs.items() if k != "image"])
    log(f"initramfs {initrd.stat().st_size >> 20} MiB in {time.monotonic() - started:.1f} s")

    boot = Boot(args.boot, build, out, kinfo, initrd)
    result = boot.run()
    log(f"{args.boot}: {'finished' if result['finished'] else 'DID NOT FINISH'} in {result['seconds']:.1f} s"
        f"{' (timed out)' if result['timed_out'] else ''}")
    if result["hashes"]:
        for disk, digest in result["hashes"][0][1].items():
            log(f"  {disk:12} sha256 {digest}")
    return 0 if result["finished"] else 1


class Context:
    """What the checks need to know about the boots and the build."""

    def __init__(self, build, out):
        self.build, self.out = build.resolve(), out.resolve()
        self.boots = list(BOOTS)

    def results(self, boot):
        return self.out / boot / "results"

    def input(self, boot):
        return self.out / boot / "input"

    def pristine(self, boot):
        return list(BOOTS[boot].values())

    def gadget_dir(self, boot, index):
        return self.input(boot) / list(BOOTS[boot])[index]

    def boot(self, boot):
        path = self.out / boot / "boot.json"
        return json.loads(path.read_text()) if path.exists() else {}

    def cli(self, args):
        return subprocess.run([str(programs(self.build)["cli"])] + args, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=300)


def check(args):
    ctx = Context(args.build, args.out)
    judge, boots = checks.CHECKS[args.name]
    for boot in boots:
        reason = ctx.out / boot / "unavailable"
        if reason.exists():
            return unavailable(ctx.out / boot, reason.read_text().strip())
        if not ctx.boot(boot).get("finished"):
            print(f"vm: FAIL: the {boot} boot did not finish; see {ctx.out / boot / 'console.log'}", flush=True)
            return 1
    kernel_line = (ctx.out / boots[0] / "kernel.txt")
    log(f"{args.name} on {kernel_line.read_text().strip() if kernel_line.exists() else 'an unknown kernel'}")
    failures = judge(ctx)
    for f in failures:
        print(f"vm: FAIL: {f}", flush=True)
    log(f"{args.name}: {'passed' if not failures else 'FAILED'}")
    return 0 if not failures else 1


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    r = sub.add_parser("run")
    r.add_argument("--build", type=Path, required=True)
    r.add_argument("--out", type=Path, required=True)
    r.add_argument("--boot", choices=list(BOOTS), required=True)
    c = sub.add_parser("check")
    c.add_argument("name", choices=list(checks.CHECKS))
    c.add_argument("--build", type=Path, required=True)
    c.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()
    return run(args) if args.what == "run" else check(args)


if __name__ == "__main__":
    sys.exit(main())
