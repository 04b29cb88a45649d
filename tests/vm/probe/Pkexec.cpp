// ardenvel-vm-pkexec: the VM's stand-in for pkexec. Installed setuid root
// as `pkexec` there, it runs `pkexec PROGRAM [ARGS]` as root for an ordinary
// user, as pkexec does once polkit has said yes, and names the user as
// pkexec does.

#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] != '/') {
        std::fprintf(stderr, "ardenvel-vm-pkexec: usage: pkexec /PATH/TO/PROGRAM [ARGS]\n");
        return 127;
    }
    const std::string uid = std::to_string(::getuid());
    if (::setgid(0) != 0 || ::setuid(0) != 0) {
        std::perror("ardenvel-vm-pkexec: not setuid root");
        return 127;
    }
    ::setenv("PKEXEC_UID", uid.c_str(), 1);
    ::execv(argv[1], argv + 1);
    std::fprintf(stderr, "Error executing command as another user: %s\n", argv[1]);
    return 127;
}
