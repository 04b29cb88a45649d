#include "hosts/remote/HelperSandbox.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/securebits.h>
#include <scsi/sg.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

namespace ardenvel::remote::sandbox {
namespace {

std::string failed(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Async-signal-safe: the filter has just refused a call, and the process ends.
void forbiddenCall(int, siginfo_t* info, void*) {
    char line[96] = "ardenvel-host-helper: the system call ";
    std::size_t n = std::strlen(line);
    char digits[12];
    int d = 0;
    for (unsigned v = static_cast<unsigned>(info->si_syscall); d == 0 || v != 0; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0) line[n++] = digits[--d];
    for (const char* p = " is not allowed\n"; *p != 0; ++p) line[n++] = *p;
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line, n);
    ::_exit(kExitForbiddenCall);
}

// Calls the helper makes as it serves, on the real disks: its stream, sysfs
// and the mount table, the memory and thread calls of the C++ runtime (and
// of the sanitizers in a test build), the device monitor's poll and udev's
// netlink socket, and the system log.
constexpr const char* kAllowed[] = {
    "read",
    "write",
    "readv",
    "writev",
    "pread64",
    "lseek",
    "close",
    "fstat",
    "newfstatat",
    "stat",
    "lstat",
    "statx",
    "getdents64",
    "readlink",
    "readlinkat",
    "access",
    "faccessat",
    "faccessat2",
    "fcntl",
    "munmap",
    "mremap",
    "brk",
    "madvise",
    "futex",
    "sched_yield",
    "poll",
    "ppoll",
    "sendto",
    "sendmsg",
    "recvfrom",
    "recvmsg",
    "getsockopt",
    "clock_gettime",
    "clock_nanosleep",
    "nanosleep",
    "gettimeofday",
    "getpid",
    "gettid",
    "getuid",
    "geteuid",
    "getgid",
    "getegid",
    "exit",
    "exit_group",
    "rt_sigreturn",
    "rt_sigprocmask",
    "tgkill",
    "sigaltstack",
    "restart_syscall",
    "getrandom",
    "rseq",
    "set_robust_list",
    "sched_getaffinity",
};

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers of a test build probe memory through a pipe of their own.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

int add(scmp_filter_ctx ctx, std::uint32_t action, const char* name, unsigned count = 0,
        const scmp_arg_cmp* args = nullptr) {
    const int call = seccomp_syscall_resolve_name(name);
    // A call this architecture does not have needs no rule.
    if (call == __NR_SCMP_ERROR) return 0;
    return seccomp_rule_add_array(ctx, action, call, count, args);
}

}  // namespace

bool dropPrivileges(std::string& error) {
    // No exec, setuid or uid 0 brings capabilities back, and that stays so.
    if (::prctl(PR_SET_SECUREBITS, SECBIT_KEEP_CAPS_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                       SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_NOROOT | SECBIT_NOROOT_LOCKED |
                                       SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED) !=
        0) {
        error = failed("cannot lock the securebits");
        return false;
    }
    // The bounding set, up to the last capability this kernel knows.
    for (unsigned cap = 0; ::prctl(PR_CAPBSET_READ, cap) >= 0; ++cap) {
        if (cap != CAP_SYS_RAWIO && ::prctl(PR_CAPBSET_DROP, cap) != 0) {
            error = failed("cannot drop a capability from the bounding set");
            return false;
        }
    }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
        error = failed("cannot clear the ambient capabilities");
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = 1u << CAP_SYS_RAWIO;
    if (::syscall(SYS_capset, &header, data) != 0) {
        error = failed("cannot keep CAP_SYS_RAWIO alone");
        return false;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = failed("cannot set no_new_privs");
        return false;
    }
    // Nobody of the user's reads this process's memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    return true;
}

bool confineSystemCalls(std::string& error) {
    struct sigaction action {};
    action.sa_sigaction = forbiddenCall;
    action.sa_flags = SA_SIGINFO;
    if (::sigaction(SIGSYS, &action, nullptr) != 0) {
        error = failed("cannot catch SIGSYS");
        return false;
    }
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_TRAP);
    if (ctx == nullptr) {
        error = "cannot make a seccomp filter";
        return false;
    }
    int rc = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1);
    for (const char* name : kAllowed) rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ALLOW, name);
    if (kSanitized)
        for (const char* name : {"pipe", "pipe2"}) rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ALLOW, name);

    // Disks and files open read-only: nothing is written, nothing created.
    // Asked for anything else, the open fails, as for a file it may not write.
    // O_TMPFILE's own bit: glibc's __O_TMPFILE carries O_DIRECTORY as well.
    constexpr scmp_datum_t kTmpFileBit = 020000000;
    constexpr scmp_datum_t kWriteFlags[] = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND, kTmpFileBit};
    scmp_datum_t writing = 0;
    for (const scmp_datum_t flag : kWriteFlags) {
        writing |= flag;
        const scmp_arg_cmp cmp = SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag);
        rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ERRNO(EACCES), "openat", 1, &cmp);
    }
    const scmp_arg_cmp readOnly = SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0);
    rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ALLOW, "openat", 1, &readOnly);
    // The pass-through, and the disk's identity.
    for (const scmp_datum_t request : {scmp_datum_t{SG_IO}, scmp_datum_t{BLKGETDISKSEQ}}) {
        const scmp_arg_cmp cmp = SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, request);
        rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ALLOW, "ioctl", 1, &cmp);
    }
    // Memory, but never executable memory.
    const scmp_arg_cmp noExec = SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
    rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ALLOW, "mmap", 1, &noExec);
    rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ALLOW, "mprotect", 1, &noExec);
    // The system log reconnects after a restart of its daemon; it may not.
    rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ERRNO(EACCES), "socket");
    rc = rc != 0 ? rc : add(ctx, SCMP_ACT_ERRNO(EACCES), "connect");
    if (rc == 0) rc = seccomp_load(ctx);
    seccomp_release(ctx);
    if (rc != 0) {
        error = std::string("cannot install the seccomp filter: ") + std::strerror(-rc);
        return false;
    }
    return true;
}

}  // namespace ardenvel::remote::sandbox
