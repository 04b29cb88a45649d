#pragma once
// The files of an enclosure directory, read and replaced without following
// links: whoever can write the directory must not be able to point the
// emulator's writes, or its reads, at another file.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace ardenvel::virt {

enum class ReadOutcome { Read, Missing, Failed };
// A regular file `name` right in `dir`; a link, a directory, a FIFO or a
// device there fails with the reason.
ReadOutcome readDirectoryFile(const std::filesystem::path& dir, const std::string& name, std::string& out,
                              std::string& error);
// Writes `name`.tmp beside it, newly made, then renames it over `name`, so a
// crash never leaves half a file; a link named `name` is replaced, never
// followed.
bool replaceDirectoryFile(const std::filesystem::path& dir, const std::string& name,
                          std::span<const std::uint8_t> bytes, std::string& error);

}  // namespace ardenvel::virt
