#include "monitor/DeviceText.h"

namespace ardenvel {

std::string deviceTextUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == 0) break;
        if (isControlByte(b)) {
            out += kReplacementUtf8;
        } else if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string deviceTextTrimmed(std::string_view bytes) {
    const std::string t = deviceTextUtf8(bytes);
    const auto first = t.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return t.substr(first, t.find_last_not_of(' ') - first + 1);
}

}  // namespace ardenvel
