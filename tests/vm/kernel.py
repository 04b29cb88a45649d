"""Debian's own kernel and udev for the VM, fetched as packages and unpacked
into a cache, never installed on this machine.

The kernel is resolved through linux-image-amd64 at set-up time (its ABI
number changes), its compressed image unpacked to a plain ELF vmlinux (the
kernel has CONFIG_PVH, so QEMU boots that directly), and only the modules the
VM needs are kept, with their dependencies.
"""

import lzma
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

# What the VM loads by hand; their dependencies come along.
MODULES = [
    "configfs", "libcomposite", "usb_f_fs", "dummy_hcd",
    "usb_storage", "uas", "sd_mod", "xhci_pci", "ahci",
    "virtio_pci", "virtio_blk", "virtio_scsi", "nvme",
    "9p", "9pnet_virtio",
]


class Unavailable(Exception):
    """QEMU, the kernel or udev cannot be had on this machine."""


def _run(cmd, cwd=None):
    result = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise Unavailable(f"{' '.join(cmd)} failed: {result.stderr.strip() or result.stdout.strip()}")
    return result.stdout


def resolve_kernel_package():
    """The linux-image-<abi>-amd64 package that linux-image-amd64 depends on now."""
    out = _run(["apt-cache", "depends", "linux-image-amd64"])
    for line in out.splitlines():
        m = re.match(r"\s*Depends:\s*(linux-image-\S+)", line)
        if m:
            return m.group(1)
    raise Unavailable("apt-cache knows no linux-image-amd64 (run apt-get update)")


def package_version(package):
    out = _run(["apt-cache", "show", "--no-all-versions", package])
    m = re.search(r"^Version:\s*(\S+)", out, re.M)
    if not m:
        raise Unavailable(f"apt-cache shows no version of {package}")
    return m.group(1)


def download(package, into):
    """The .deb of `package` in `into`, downloaded unless it is there."""
    into.mkdir(parents=True, exist_ok=True)
    version = package_version(package).replace(":", "%3a")
    existing = list(into.glob(f"{package}_{version}_*.deb"))
    if existing:
        return existing[0]
    _run(["apt-get", "download", f"{package}"], cwd=into)
    found = list(into.glob(f"{package}_*.deb"))
    if not found:
        raise Unavailable(f"apt-get download {package} left no .deb")
    return max(found, key=lambda p: p.stat().st_mtime)


def extract_vmlinux(bzimage, out):
    """The ELF kernel inside a bzImage whose payload is xz-compressed."""
    data = bzimage.read_bytes()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        raise Unavailable(f"{bzimage} holds no xz payload")
    decompressor = lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
    elf = decompressor.decompress(data[start:])
    if not elf.startswith(b"\x7fELF"):
        raise Unavailable(f"{bzimage} does not unpack to an ELF kernel")
    out.write_bytes(elf)


def _module_files(modules_dir):
    return {p.name.split(".ko")[0].replace("-", "_"): p for p in modules_dir.rglob("*.ko*")}


def _depends(ko):
    m = re.search(rb"(?:^|\x00)depends=([^\x00]*)", ko.read_bytes())
    return [d for d in (m.group(1).decode().split(",") if m else []) if d]


def copy_module_closure(release_dir, dest_release_dir, wanted):
    files = _module_files(release_dir / "kernel")
    todo, done = list(wanted), set()
    while todo:
        name = todo.pop().replace("-", "_")
        if name in done:
            continue
        done.add(name)
        ko = files.get(name)
        if ko is None:
            continue  # built in
        target = dest_release_dir / ko.relative_to(release_dir)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ko, target)
        todo.extend(_depends(ko))
    for meta in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
        if (release_dir / meta).exists():
            shutil.copy2(release_dir / meta, dest_release_dir / meta)


def prepare(cache):
    """The kernel, its modules and udev under `cache`; returns a dict of paths.

    Everything is kept per package version, so a new kernel is fetched once
    and an unchanged one never again."""
    if shutil.which("qemu-system-x86_64") is None:
        raise Unavailable("qemu-system-x86_64 is not installed (Debian package qemu-system-x86)")
    if not Path("/bin/busybox").exists():
        raise Unavailable("/bin/busybox is not installed (Debian package busybox-static)")
    cache.mkdir(parents=True, exist_ok=True)
    package = resolve_kernel_package()
    version = package_version(package)
    release = package[len("linux-image-"):]
    kdir = cache / f"kernel-{release}-{version}"
    udev_version = package_version("udev")
    udir = cache / f"udev-{udev_version}"

    if not (kdir / "done").exists():
        deb = download(package, cache / "debs")
        with tempfile.TemporaryDirectory(dir=cache) as tmp:
            _run(["dpkg-deb", "-x", str(deb), tmp])
            root = Path(tmp)
            if kdir.exists():
                shutil.rmtree(kdir)
            kdir.mkdir()
            extract_vmlinux(root / "boot" / f"vmlinuz-{release}", kdir / "vmlinux")
            shutil.copy2(root / "boot" / f"config-{release}", kdir / "config")
            release_dir = next(p for p in (root / "lib/modules", root / "usr/lib/modules") if p.exists()) / release
            modules = kdir / "modules" / "lib" / "modules" / release
            copy_module_closure(release_dir, modules, MODULES)
            _run(["/bin/busybox", "depmod", "-b", str(kdir / "modules"), release])
        (kdir / "done").write_text(f"{package} {version}\n")

    if not (udir / "done").exists():
        deb = download("udev", cache / "debs")
        if udir.exists():
            shutil.rmtree(udir)
        _run(["dpkg-deb", "-x", str(deb), str(udir)])
        (udir / "done").write_text(f"udev {udev_version}\n")

    return {
        "package": package,
        "version": version,
        "release": release,
        "vmlinux": kdir / "vmlinux",
        "modules": kdir / "modules",
        "udev": udir,
        "udev_version": udev_version,
    }
