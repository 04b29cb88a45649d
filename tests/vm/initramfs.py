"""The VM's initramfs: busybox, the kernel's modules, Debian's udevd and
udevadm with the stock rules, the libraries of every program the VM runs, and
tests/vm/init.sh as /init. The programs under test themselves come in over 9p
from the build tree."""

import os
import re
import stat
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parent

USERS = """root:x:0:0:root:/root:/bin/sh
ardv:x:1000:1000:no disk rights:/tmp:/bin/sh
ardvdisk:x:1001:1001:in the disk group:/tmp:/bin/sh
"""
GROUPS = """root:x:0:
disk:x:6:ardvdisk
ardv:x:1000:
ardvdisk:x:1001:
"""


class Cpio:
    """A newc archive written as it is built."""

    def __init__(self, path):
        self.out = open(path, "wb")
        self.ino = 1
        self.names = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name = name.lstrip("/")
        if name in self.names:
            return
        self.names.add(name)
        encoded = name.encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(encoded), 0]
        self.ino += 1
        self.out.write(b"070701" + b"".join(b"%08X" % f for f in fields) + encoded)
        self.out.write(b"\0" * (-(110 + len(encoded)) % 4))
        self.out.write(data)
        self.out.write(b"\0" * (-len(data) % 4))

    def directory(self, name):
        parts = Path(name.lstrip("/")).parts
        for i in range(1, len(parts) + 1):
            self._entry("/".join(parts[:i]), stat.S_IFDIR | 0o755)

    def file(self, name, data, executable=False):
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFREG | (0o755 if executable else 0o644), data)

    def symlink(self, name, target):
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, name, major, minor):
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def copy_tree(self, source, prefix="/"):
        """Every file and link under `source`, placed under `prefix`."""
        for root, dirs, files in os.walk(source):
            rel = Path(root).relative_to(source)
            self.directory(str(Path(prefix) / rel))
            for name in sorted(files + [d for d in dirs if os.path.islink(os.path.join(root, d))]):
                path = Path(root) / name
                dest = str(Path(prefix) / rel / name)
                if path.is_symlink():
                    self.symlink(dest, os.readlink(path))
                else:
                    self.file(dest, path.read_bytes(), os.access(path, os.X_OK))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.out.write(b"\0" * (-self.out.tell() % 512))
        self.out.close()


def shared_libraries(programs, extra_paths=()):
    """Every library the dynamic loader maps for `programs`, with the loader."""
    env = dict(os.environ)
    if extra_paths:
        env["LD_LIBRARY_PATH"] = ":".join(str(p) for p in extra_paths)
    libs = set()
    for program in programs:
        out = subprocess.run(["ldd", str(program)], capture_output=True, text=True, env=env).stdout
        for line in out.splitlines():
            if "not found" in line:
                raise RuntimeError(f"{program}: {line.strip()}")
            m = re.search(r"=>\s*(/\S+)", line) or re.match(r"\s*(/\S+)\s+\(", line)
            if m:
                libs.add(m.group(1))
    return sorted(libs)


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def build(out_path, kernel, programs):
    """Writes the initramfs for `kernel` (kernel.prepare's answer) that can run `programs`."""
    udev = kernel["udev"]
    udev_programs = [udev / "bin/udevadm"] + [p for p in (udev / "lib/udev").iterdir()
                                              if p.is_file() and is_elf(p)]
    cpio = Cpio(out_path)
    for d in ("dev", "proc", "sys", "run", "tmp", "root", "mnt", "etc", "bin", "sbin", "usr/bin", "usr/sbin"):
        cpio.directory(d)
    cpio.char_device("dev/console", 5, 1)
    cpio.char_device("dev/null", 1, 3)
    cpio.file("bin/busybox", Path("/bin/busybox").read_bytes(), executable=True)
    cpio.file("init", (HERE / "init.sh").read_bytes(), executable=True)
    cpio.file("etc/passwd", USERS.encode())
    cpio.file("etc/group", GROUPS.encode())
    cpio.file("etc/shells", b"/bin/sh\n")
    cpio.copy_tree(kernel["modules"])
    # udevd is udevadm under another name; the rules call the helpers in /lib/udev.
    cpio.file("bin/udevadm", (udev / "bin/udevadm").read_bytes(), executable=True)
    cpio.symlink("lib/systemd/systemd-udevd", "/bin/udevadm")
    cpio.copy_tree(udev / "lib/udev", "/lib/udev")
    cpio.copy_tree(udev / "etc/udev", "/etc/udev")
    for lib in shared_libraries(udev_programs + list(programs)):
        cpio.file(lib, Path(lib).resolve().read_bytes(), executable=True)
    cpio.close()
