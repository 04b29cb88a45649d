#pragma once
// Text that comes from a bridge or a disk (serial numbers, models, firmware
// revisions) is bytes, not UTF-8: an erased record reads as 0xFF, a garbled
// one as anything. Each byte is one character, its value the code point
// (Latin-1). Everything that shows or exports device text goes through here,
// so no writer ever sees a byte string that is not valid UTF-8.

#include <string>
#include <string_view>

namespace ardenvel {

// The replacement character, for bytes that have no character to show.
inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// True for the bytes shown as the replacement character: C0 controls but
// NUL, DEL, and the C1 controls 0x80-0x9F.
constexpr bool isControlByte(unsigned char b) {
    return (b > 0x00 && b < 0x20) || (b >= 0x7F && b < 0xA0);
}

// Device text as UTF-8 for a label, a terminal or a JSON string: it ends at
// the first NUL (bridges pad with NULs as well as blanks), control bytes
// become U+FFFD, and every other byte b becomes U+00bb. Never throws beyond
// running out of memory; the result is always valid UTF-8.
std::string deviceTextUtf8(std::string_view bytes);
// The same with blanks cut at both ends, for one-line labels and fields.
std::string deviceTextTrimmed(std::string_view bytes);

}  // namespace ardenvel
