"""What each VM scenario must have shown, judged on the host from what the
VM left in the out directory. Each check prints what it compared and returns
a list of failures (empty: passed)."""

import collections
import json
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

GADGET_ID = "1d50:6180"
ROUTE_COLUMN = {"lba": "LBA", "ata": "ATA", "usb-shift": "USB(shift)", "usb-noshift": "USB"}


def say(*parts):
    print("vm:", *parts, flush=True)


def read(path, default=""):
    try:
        return Path(path).read_text(errors="replace")
    except OSError:
        return default


def exit_code(path):
    text = read(path).strip()
    return int(text) if text.lstrip("-").isdigit() else None


# ---- disks and their numbers ---------------------------------------------

def disks(snapshot):
    """{name: (sysfs path, usb id)} from a snapshot_disks file."""
    out = {}
    for line in read(snapshot).splitlines():
        name, path, usb = line.split()
        out[name] = (path, usb)
    return out


def is_front(path):
    """On a USB bus or a libata port: the bus nearest the disk decides."""
    kind = None
    for part in path.split("/"):
        if re.fullmatch(r"usb\d+", part) or re.fullmatch(r"ata\d+", part):
            kind = part
    return kind is not None


def kernel_order(name):
    m = re.fullmatch(r"(xvd|sd|hd|vd)([a-z]+)", name)
    if m:
        return [(m.group(1), 0, ""), ("", len(m.group(2)), m.group(2))]
    return [("", int(t), "") if t.isdigit() else (t, 0, "") for t in re.findall(r"\d+|\D+", name)]


def documented_numbers(snapshot):
    """docs/linux-host.md: USB and SATA disks from 0, all others from 10,
    each group in kernel-name order."""
    front = sorted((n for n, (p, _) in snapshot.items() if is_front(p)), key=kernel_order)
    others = sorted((n for n, (p, _) in snapshot.items() if not is_front(p)), key=kernel_order)
    numbers = {name: i for i, name in enumerate(front[:10])}
    numbers.update({name: 10 + i for i, name in enumerate(front[10:] + others)})
    return numbers


def gadget_disks(snapshot):
    """{gadget index: disk name}, by the dummy_hcd each hangs off."""
    out = {}
    for name, (path, usb) in snapshot.items():
        m = re.search(r"/dummy_hcd\.(\d+)/", path)
        if m and usb == GADGET_ID:
            out[int(m.group(1))] = name
    return out


def listed(list_file):
    """`list`'s rows: {drive: (routes, model)}."""
    rows = {}
    for line in read(list_file).splitlines()[1:]:
        m = re.match(r"\s*\d+\s+(\d+)\s+(\S+)\s+(?:\S+\s+)?\d{6}\.\S+\s+(.*\S)", line)
        if m:
            rows[int(m.group(1))] = (m.group(2), m.group(3))
    return rows


def description(directory):
    return json.loads(read(Path(directory) / "description.json"))


def check_discovery(ctx):
    s = ctx.results("steady") / "discovery"
    failures = []
    snapshot = disks(s / "disks.txt")
    expected = documented_numbers(snapshot)
    tool = {name: int(n) for n, name in (l.split() for l in read(s / "numbers.txt").splitlines())}
    for name in sorted(snapshot, key=kernel_order):
        path, usb = snapshot[name]
        kind = "gadget" if usb == GADGET_ID else ("usb/sata" if is_front(path) else "other")
        say(f"  {name:8} {kind:8} documented {expected[name]:2}  tool {tool.get(name, '-')}")
    if tool != expected:
        failures.append(f"drive numbers {tool} are not the documented {expected}")

    rows = listed(s / "list.txt")
    want = {}
    for index, disk in gadget_disks(snapshot).items():
        d = description(ctx.gadget_dir("steady", index))
        want[expected[disk]] = (ROUTE_COLUMN[d["route"]], d["model"])
    say(f"  list: {rows}")
    if rows != want:
        failures.append(f"list shows {rows}, the gadgets are {want}")
    # An IDENTIFY to the SATA disk must come back: libata answers it when asked without CK_COND.
    sata = [expected[n] for n, (p, _) in snapshot.items() if re.search(r"/ata\d+/", p)]
    trace = read(s / "trace.txt")
    for number in sata:
        if not re.search(rf"PhysicalDrive{number} ata 00 00 00 00 00 E0 EC -> .* ok$", trace, re.M):
            failures.append(f"IDENTIFY of the SATA disk (PhysicalDrive{number}) did not succeed")
    return failures


def check_ata_pass_through(ctx):
    """The Linux host's verdict on every answer the kernel built: success only
    where the command was carried out."""
    s = ctx.results("steady") / "discovery"
    snapshot = disks(s / "disks.txt")
    gadgets = gadget_disks(snapshot)
    ata_gadgets = {gadgets[i] for i in gadgets if description(ctx.gadget_dir("steady", i))["route"] == "ata"}
    sata = {n for n, (p, _) in snapshot.items() if re.search(r"/ata\d+/", p)}
    failures = []
    rows = 0
    for line in read(s / "sense.txt").splitlines():
        m = re.match(r"probe /dev/(\S+) (\S+) round=(\d) .*status=(\S+) .*sense=(\S+) verdict=(\d) registers=(\S+)", line)
        if not m:
            continue
        rows += 1
        disk, request, _, status, sense, verdict, registers = m.groups()
        done = (disk in ata_gadgets and request in ("identify", "identify-ckcond", "close-spi")) or \
               (disk in sata and request == "identify")
        if int(verdict) != done:
            failures.append(f"{disk} {request}: status {status} sense {sense} read as "
                            f"{'success' if int(verdict) else 'failure'}")
        # Registers come only from the ATA Status Return descriptor; without
        # it they stay as sent, but for a success's ready status (0x50, no error).
        ready = int(verdict) == 1 and registers[:2] == "00" and registers[-2:] == "50"
        if not sense.startswith("72") and registers[-2:] not in ("EC", "88") and not ready:
            failures.append(f"{disk} {request}: registers {registers} taken from sense {sense}")
    say(f"  {rows} answers of the kernel judged; SATA {sorted(sata)}, ATA bridges {sorted(ata_gadgets)}")
    if rows == 0:
        failures.append("the probe left no answers")
    return failures


# ---- the same directories on the virtual host -----------------------------

def strip_times(text):
    text = re.sub(r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d", "<time>", text)
    return [l.rstrip() for l in text.replace("\r", "").splitlines()]


def normalized_status(text):
    doc = json.loads(text)
    for e in doc.get("enclosures", []):
        e.pop("drive", None)  # numbers differ between hosts; the slot order does not
        e.pop("volumes", None)
    return doc


def slot_dirs(ctx, boot, status_file):
    """The boot's enclosure directories, pristine, in the VM's slot order."""
    by_model = {description(d)["model"]: d for d in ctx.pristine(boot)}
    doc = json.loads(read(status_file, "{}"))
    return [by_model[e["model"]] for e in doc.get("enclosures", []) if e.get("model") in by_model]


def check_status_and_monitor(ctx):
    """The monitor's log and its last status document (--state), against a
    monitor over the same directories on the virtual host. Each run of the
    tool there loads the directories afresh, as the VM's gadgets were before
    its monitor: nothing had read their status records yet."""
    s = ctx.results("steady") / "status-and-monitor"
    failures = []
    dirs = slot_dirs(ctx, "steady", s / "state.json")
    if len(dirs) != len(ctx.pristine("steady")):
        return [f"the monitor through the kernel read {len(dirs)} of {len(ctx.pristine('steady'))} enclosures"]
    with tempfile.TemporaryDirectory() as tmp:
        copies = [shutil.copytree(d, Path(tmp) / d.name) for d in dirs]
        virtual = [a for d in copies for a in ("--virtual", str(d))]
        ctx.cli(virtual + ["--log-dir", f"{tmp}/logs", "monitor", "--count", "6", "--interval", "0.1",
                           "--state", f"{tmp}/state.json"])
        logs = sorted(Path(tmp, "logs").glob("*.log"))
        host_log = strip_times(read(logs[0])) if logs else []
        host_state = read(Path(tmp) / "state.json", "{}")
    vm_logs = sorted((s / "logs").glob("*.log"))
    vm_log = strip_times(read(vm_logs[0])) if vm_logs else []
    if normalized_status(read(s / "state.json", "{}")) != normalized_status(host_state):
        failures.append("the monitor's status document differs from the virtual host's")
    if vm_log != host_log or not vm_log:
        failures.append(f"the monitor's log differs: kernel {vm_log} virtual host {host_log}")
    say(f"  the status documents of {len(dirs)} enclosures and {len(vm_log)} log lines compared")
    return failures


def check_upgrade(ctx):
    s = ctx.results("steady") / "upgrade"
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        for d in ctx.pristine("steady"):
            copy = shutil.copytree(d, Path(tmp) / d.name)
            ran = ctx.cli(["--virtual", str(copy), "firmware", "upgrade", str(ctx.input("steady") / "up.bin"),
                           "--yes"])
            kernel_exit = exit_code(s / f"{d.name}.exit")
            same = (copy / "flash.bin").read_bytes() == (ctx.input("steady") / d.name / "flash.bin").read_bytes()
            say(f"  {d.name}: exit {kernel_exit} through the kernel, {ran.returncode} on the virtual host; "
                f"flash {'equal' if same else 'DIFFERENT'}")
            if kernel_exit != 0 or ran.returncode != 0:
                failures.append(f"{d.name}: the upgrade failed (kernel {kernel_exit}, virtual {ran.returncode})")
            if not same:
                failures.append(f"{d.name}: the flash differs from the virtual host's after the upgrade")
    return failures


# ---- udev, privileges -----------------------------------------------------

def recounts(trace):
    """Times at which a recount began: drives 0..9 opened and closed with no
    request between. The first is the discovery pass's own count."""
    lines = read(trace).splitlines()
    starts = []
    for i, line in enumerate(lines):
        if " PhysicalDrive0 open " not in line:
            continue
        for later in lines[i:]:
            if not re.search(r" PhysicalDrive\d (open (ok|fail)|close)\s*$", later):
                break
            if " PhysicalDrive9 open " in later:
                starts.append(line.split()[0])
                break
    return starts[1:]


def uevents(path):
    return [l for l in read(path).splitlines() if re.match(r"UDEV\s+\[", l)]


def seconds(stamp):
    h, m, s = stamp.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def check_udev_echo(ctx):
    s = ctx.results("steady") / "udev-echo"
    failures = []
    poked = [l for l in uevents(s / "root-uevents.txt") if l.endswith("/block/vda (block)")]
    root_events = [l for l in uevents(s / "root-uevents.txt") if l not in poked]
    say(f"  root: {len(root_events)} uevents of its own, {len(poked)} change events of another program, "
        f"{len(recounts(s / 'root-trace.txt'))} recounts")
    if not poked:
        failures.append("the other program's change events did not come")
    if root_events:
        failures.append(f"a monitor pass as root caused uevents: {root_events[:4]}")
    if recounts(s / "root-trace.txt"):
        failures.append("the monitor as root recounted the drives with no device change")
    if exit_code(s / "root.exit") != 0:
        failures.append("the monitor as root failed")
    return failures


def check_udev_echo_read_write(ctx):
    s = ctx.results("steady") / "udev-echo"
    failures = []
    group_events = collections.Counter(l.split()[2] for l in uevents(s / "disk-group-uevents.txt"))
    trace = s / "disk-group-trace.txt"
    times = [seconds(l.split()[0]) for l in read(trace).splitlines() if l.strip()]
    starts = recounts(trace)
    say(f"  disk group (read-write opens): uevents {dict(group_events)}, recounts at {starts}")
    if exit_code(s / "disk-group.exit") != 0:
        failures.append("the monitor of a disk group member failed")
    # The first pass's own echoes may bring one recount early on; after
    # that nothing changes, and nothing may be recounted.
    if times and starts:
        third = times[0] + (times[-1] - times[0]) * 2 / 3
        if len(starts) > 2 or seconds(starts[-1]) > third:
            failures.append(f"read-write opens: the monitor did not settle, {len(starts)} recounts "
                            f"up to the end of its run")
    return failures


def check_privilege(ctx):
    s = ctx.results("steady") / "privilege"
    failures = []
    message = "Ardenvel needs administrator rights to talk to the enclosures. Run it with sudo, or as root."
    if message not in read(s / "user-list.err"):
        failures.append(f"a user without rights was told: {read(s / 'user-list.err')!r}")
    root_rows = listed(ctx.results("steady") / "discovery" / "list.txt")
    helper_rows = listed(s / "helper-list.txt")
    say(f"  without rights: exit {exit_code(s / 'user.exit')}; through --helper: {helper_rows}")
    if exit_code(s / "helper.exit") != 0 or helper_rows != root_rows:
        failures.append(f"through --helper the user got {helper_rows} ({read(s / 'helper-list.err')!r}), "
                        f"root gets {root_rows}")
    return failures


# ---- hot-plug ---------------------------------------------------------------

def own_requests(trace):
    """The successful requests that only reach an enclosure, by CDB."""
    found = collections.Counter()
    for line in read(trace).splitlines():
        m = re.search(r" cdb ((?:[0-9A-F]{2} ){10})(in|out) \d+ ok", line)
        if not m:
            continue
        cdb = m.group(1).split()
        read_own = cdb[0] == "28" and cdb[5] in ("21", "3C") and cdb[8] == "01"
        write = cdb[0] == "2A"
        vendor = cdb[0] == "FE" and (cdb[1] in ("85", "89", "81") or (cdb[1] == "FE" and cdb[2] in ("85", "89", "81")))
        if read_own or write or vendor:
            found[" ".join(cdb)] += 1
    return found


def gadget_requests(ctx, boot, scenario):
    """What the gadgets were sent during one scenario, by CDB."""
    got = collections.Counter()
    for log in sorted(ctx.results(boot).glob("gadget*.log")):
        inside = False
        for line in read(log).splitlines():
            if line == f"# begin {scenario}":
                inside = True
            elif line == f"# end {scenario}":
                inside = False
            elif inside:
                m = re.match(r"cdb ((?:[0-9A-F]{2} ){9}[0-9A-F]{2}) ", line)
                if m:
                    got[m.group(1)] += 1
    return got


def stray_requests(ctx, boot, scenario):
    """Requests the tool sent in one scenario that no gadget received: they
    went to another disk. Every run of the tool in a scenario is traced."""
    sent = collections.Counter()
    for t in sorted((ctx.results(boot) / scenario).glob("trace*.txt")):
        sent += own_requests(t)
    arrived = gadget_requests(ctx, boot, scenario)
    stray = {cdb: n - arrived.get(cdb, 0) for cdb, n in sent.items() if n > arrived.get(cdb, 0)}
    say(f"  {sum(sent.values())} requests meant for enclosures, {sum(stray.values())} of them reached another disk")
    return stray


def check_hotplug(ctx):
    s = ctx.results("hotplug") / "hotplug"
    failures = []
    events = [l.split(None, 2) for l in read(s / "events.txt").splitlines() if l.strip()]
    say(f"  hook events: {[' '.join(e) for e in events]}")
    striping = [e[0] for e in events if len(e) > 2 and "Stripe" in e[2] and e[0].startswith("enclosure-")]
    dock = [e[0] for e in events if len(e) > 2 and "Mirror Dock" in e[2] and e[0].startswith("enclosure-")]
    if striping != ["enclosure-found", "enclosure-lost", "enclosure-found"]:
        failures.append(f"the unbound and rebound gadget gave {striping}")
    if dock != ["enclosure-found"]:
        failures.append(f"the gadget left alone gave {dock}")
    state = json.loads(read(s / "state.json", "{}"))
    found = sorted(e["model"] for e in state.get("enclosures", []) if e.get("read"))
    if found != ["ARDV Mirror Dock", "ARDV Stripe Tower"]:
        failures.append(f"the monitor ended reading {found}")
    stray = stray_requests(ctx, "hotplug", "hotplug")
    if stray:
        failures.append(f"requests for an enclosure reached another disk: {stray}")
    return failures


def check_unplug_mid_upgrade(ctx):
    s = ctx.results("hotplug") / "unplug-mid-upgrade"
    failures = []
    first, second = exit_code(s / "upgrade.exit"), exit_code(s / "upgrade2.exit")
    hashes = dict(ctx.boot("hotplug").get("hashes", []))
    before = hashes.get("before-unplug-mid-upgrade", {}).get("usb-hot2")
    during = hashes.get("after-interrupted-upgrade", {}).get("usb-hot2")
    stray = stray_requests(ctx, "hotplug", "unplug-mid-upgrade")
    say(f"  interrupted upgrade: exit {first}; the disk plugged in its place "
        f"{'untouched' if before == during else 'WRITTEN TO'}; new upgrade after re-plugging: exit {second}")
    if first in (0, None):
        failures.append(f"the interrupted upgrade reported {first}")
    if before is None or before != during:
        failures.append("the ordinary disk that took the enclosure's number was written to")
    if stray:
        failures.append(f"{sum(stray.values())} requests of the upgrade reached the ordinary disk")
    doc = json.loads(read(s / "status.json", "{}"))
    if not any(e.get("read") and e.get("model") == "ARDV Mirror Dock" for e in doc.get("enclosures", [])):
        failures.append("the enclosure plugged back does not answer its status")
    if second != 0:
        failures.append(f"the new upgrade after re-plugging reported {second}")
    return failures


def untouched(boot):
    def check(ctx):
        failures = []
        hashes = ctx.boot(boot).get("hashes", [])
        if not hashes:
            return [f"{boot}: no image was hashed"]
        first = hashes[0][1]
        for disk in sorted(first):
            say(f"  {disk:12} sha256 {first[disk]}")
        for (label_a, a), (label_b, b) in zip(hashes, hashes[1:]):
            for disk in a:
                if a[disk] != b.get(disk):
                    failures.append(f"{disk} changed between {label_a} and {label_b}")
        say(f"  {len(first)} images hashed at {len(hashes)} points, before and after every scenario")
        return failures
    return check


CHECKS = {
    "discovery": (check_discovery, ["steady"]),
    "ata-pass-through": (check_ata_pass_through, ["steady"]),
    "status-and-monitor": (check_status_and_monitor, ["steady"]),
    "udev-echo": (check_udev_echo, ["steady"]),
    "udev-echo-read-write": (check_udev_echo_read_write, ["steady"]),
    "privilege": (check_privilege, ["steady"]),
    "upgrade": (check_upgrade, ["steady"]),
    "hotplug": (check_hotplug, ["hotplug"]),
    "unplug-mid-upgrade": (check_unplug_mid_upgrade, ["hotplug"]),
    "steady.ordinary-disks-untouched": (untouched("steady"), ["steady"]),
    "hotplug.ordinary-disks-untouched": (untouched("hotplug"), ["hotplug"]),
}
