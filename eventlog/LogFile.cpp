#include "eventlog/LogFile.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

namespace ardenvel {

namespace fs = std::filesystem;

bool LogFiles::exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::optional<std::string> LogFiles::read(const fs::path& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

BoundedRead LogFiles::readAtMost(const fs::path& path, std::uintmax_t limit) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return {};
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > limit) return {std::nullopt, true};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    // The file may have grown since its size was taken.
    std::string bytes;
    char chunk[64 * 1024];
    while (in) {
        in.read(chunk, sizeof chunk);
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > limit) return {std::nullopt, true};
    }
    if (in.bad()) return {};
    return {std::move(bytes), false};
}

bool LogFiles::write(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    out.close();
    return !out.fail();
}

bool LogFiles::rename(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
}

bool LogFiles::createDirectories(const fs::path& dir) {
    if (dir.empty()) return true;
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec);
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::optional<std::vector<std::string>> readLogLines(LogFiles& files, const fs::path& path) {
    auto bytes = files.read(path);
    if (!bytes) return std::nullopt;
    return splitLines(*bytes);
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const auto& l : lines) size += l.size() + 2;
    std::string out;
    out.reserve(size);
    for (const auto& l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

bool replaceFile(LogFiles& files, const fs::path& path, std::string_view contents) {
    if (!files.createDirectories(path.parent_path())) return false;
    fs::path temp = path;
    temp += ".tmp";
    if (!files.write(temp, contents)) return false;
    return files.rename(temp, path);
}

bool directoryWritable(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return false;
    const fs::path probe = dir / ".ardenvel-write-probe";
    bool ok = false;
    {
        std::ofstream out(probe, std::ios::binary | std::ios::trunc);
        ok = static_cast<bool>(out);
    }
    fs::remove(probe, ec);
    return ok;
}

std::optional<fs::path> xdgStateHome(const EnvLookup& env) {
    auto absolute = [&](const char* name) -> std::optional<fs::path> {
        auto value = env(name);
        if (!value || value->rfind('/', 0) != 0) return std::nullopt;
        return fs::path(*value);
    };
    if (auto base = absolute("XDG_STATE_HOME")) return base;
    if (auto home = absolute("HOME")) return *home / ".local" / "state";
    return std::nullopt;
}

fs::path chooseLogDirectory(const ProgramPlace& program, const EnvLookup& env, const WritableCheck& writable,
                            HostPlatform platform) {
    if (platform == HostPlatform::Windows) {
        if (writable(program.dir)) return program.dir;
        for (const char* name : {"ProgramData", "LOCALAPPDATA"})
            if (auto base = env(name); base && !base->empty()) return fs::path(*base) / "Ardenvel";
        return program.dir;
    }
    // An installed program's folder is no place for logs, root's least of all.
    if (program.inBuildTree && writable(program.dir)) return program.dir;
    if (program.privileged) return "/var/log/ardenvel";
    if (auto state = xdgStateHome(env)) return *state / "ardenvel";
    return program.dir;
}

std::optional<std::string> processEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

}  // namespace ardenvel
