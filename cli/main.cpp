#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Cli.h"

int main(int argc, char** argv) {
    // Dates and times in the log follow the user's locale.
    std::setlocale(LC_ALL, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    return ardenvel::cli::runCli(args, stdout, stderr);
}
