// ardenvel-vm-pkexec: the VM's stand-in for pkexec. Installed setuid root
// there, it starts the built host helper as root for an ordinary user, as
// pkexec does once polkit has said yes, and names the user as pkexec does.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::string uid = std::to_string(::getuid());
    if (::setgid(0) != 0 || ::setuid(0) != 0) {
        std::perror("ardenvel-vm-pkexec: not setuid root");
        return 127;
    }
    ::setenv("PKEXEC_UID", uid.c_str(), 1);
    std::vector<char*> args{const_cast<char*>(ARDENVEL_HOST_HELPER)};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(ARDENVEL_HOST_HELPER, args.data());
    std::perror("ardenvel-vm-pkexec: " ARDENVEL_HOST_HELPER);
    return 127;
}
