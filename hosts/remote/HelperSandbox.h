#pragma once
// What the installed host helper gives up before it serves anyone: every
// capability but CAP_SYS_RAWIO, any way to gain one back, and every system
// call it does not make. Linux only.

#include <string>

namespace ardenvel::remote::sandbox {

// Keeps CAP_SYS_RAWIO alone in the effective and permitted sets and in the
// bounding set, clears the inheritable and ambient ones, locks the
// securebits so that no exec or uid change brings root's capabilities back,
// and sets no_new_privs. Capabilities belong to each thread: call it before
// any thread starts. False with the reason when a step fails.
bool dropPrivileges(std::string& error);

// Installs, on every thread, a seccomp filter that lets through only the
// system calls the helper makes: reading and writing its stream, opening
// files and disks read-only, SG_IO and BLKGETDISKSEQ, the memory, thread
// and poll calls it needs, and the system log's send. Opening a file for
// writing or creating one, and new sockets, fail with EACCES; any other call
// ends the process with a line on standard error naming it. Sets
// no_new_privs too.
bool confineSystemCalls(std::string& error);

// The exit status of a process the filter ended.
inline constexpr int kExitForbiddenCall = 159;

}  // namespace ardenvel::remote::sandbox
