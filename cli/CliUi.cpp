#include "cli/CliUi.h"

#include <iostream>

namespace ardenvel::cli {
namespace {

// Box texts may carry line breaks; each line goes out on its own.
void printLines(std::FILE* f, const std::string& prefix, const std::string& text) {
    std::size_t start = 0;
    while (true) {
        const std::size_t nl = text.find('\n', start);
        const std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        std::fprintf(f, "%s%s\n", prefix.c_str(), line.c_str());
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
}

}  // namespace

void CliUi::setStatusText(int, const std::string& text) {
    if (text.empty() || quiet) return;
    printLines(err_, "", text);
}

BoxResult CliUi::messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                            BoxIcon) {
    if (quiet && buttons == BoxButtons::Ok) return BoxResult::Ok;
    const std::string prefix = caption.empty() ? "" : caption + (caption.back() == ':' ? " " : ": ");
    printLines(err_, prefix, text);
    if (buttons == BoxButtons::Ok) return BoxResult::Ok;
    if (assumeYes_) return BoxResult::Yes;
    if (!interactive_) return BoxResult::No;
    std::fprintf(err_, "[y/N] ");
    std::fflush(err_);
    std::string answer;
    if (!std::getline(std::cin, answer)) return BoxResult::No;
    return (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) ? BoxResult::Yes : BoxResult::No;
}

}  // namespace ardenvel::cli
