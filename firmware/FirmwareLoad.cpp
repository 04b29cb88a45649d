#include "firmware/FirmwareLoad.h"

#include <cstdio>
#include <fstream>
#include <new>
#include <vector>

#include "firmware/ImageLayout.h"

namespace ardenvel {

namespace {

const char* const kNotCorrect = "The firmware file is not correct.\nPlease check it.";

class DiskFile final : public FirmwareFile {
public:
    explicit DiskFile(std::ifstream stream) : in_(std::move(stream)) {
        in_.seekg(0, std::ios::end);
        const auto end = in_.tellg();
        size_ = end < 0 ? 0 : static_cast<std::uint64_t>(end);
        in_.seekg(0, std::ios::beg);
    }
    std::uint64_t size() override { return size_; }
    bool readByte(std::uint64_t index, std::uint8_t& out) override {
        if (index != next_) {
            in_.clear();
            in_.seekg(static_cast<std::streamoff>(index), std::ios::beg);
        }
        const int c = in_.get();
        if (c == std::char_traits<char>::eof()) {
            in_.clear();
            next_ = ~std::uint64_t{0};  // position again before the next try
            return false;
        }
        out = static_cast<std::uint8_t>(c);
        next_ = index + 1;
        return true;
    }

private:
    std::ifstream in_;
    std::uint64_t size_ = 0;
    std::uint64_t next_ = 0;
};

void showError(Ui& ui, const std::string& text, const char* caption) {
    ui.messageBox(text, caption, BoxButtons::Ok, BoxIcon::Error);
}

std::string checksumText(std::uint32_t sum) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(sum));
    return std::string("Chksum:") + buf;
}

}  // namespace

std::unique_ptr<FirmwareFile> DiskFileOpener::open(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return nullptr;
    return std::make_unique<DiskFile>(std::move(in));
}

bool isAcceptableImage(const std::uint8_t* bytes, std::uint64_t length) {
    if (length <= image::kConfigVersionCheckOffset) return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (bytes[image::kSignatureOffset + i] != image::kImageSignature[i]) return false;
    return bytes[image::kConfigVersionCheckOffset] == image::kConfigVersion;
}

bool LoadFirmwareFile(FirmwareState& fw, Ui& ui, const std::string& path, FirmwareFileOpener& opener) {
    ui.setStatusText(kPanelMessages, "File:" + path);
    // A failed load must not leave the previous image looking current, nor
    // its "Chksum:" beside this file's name.
    fw.image.release();
    ui.setStatusText(kPanelChecksum, "");

    std::unique_ptr<FirmwareFile> file = opener.open(path);
    if (!file) {
        showError(ui, "Fail to open firmware file", "Error");
        return false;
    }
    const std::uint64_t size = file->size();
    if (size > kMaxFirmwareFileSize) {
        showError(ui, kNotCorrect, "Error");
        return false;
    }

    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        showError(ui, kNotCorrect, "Error");
        return false;
    }

    std::uint32_t sum = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
        unsigned failures = 0;
        while (!file->readByte(i, buffer[static_cast<std::size_t>(i)])) {
            ui.messageBox("Error read from Source file. ByteCount = " + std::to_string(i),
                          "Warning:", BoxButtons::Ok, BoxIcon::Error);
            if (++failures == kByteReadTries) return false;
        }
        sum += buffer[static_cast<std::size_t>(i)];
    }
    file.reset();
    ui.setStatusText(kPanelChecksum, checksumText(sum));

    if (!isAcceptableImage(buffer.data(), size)) {
        showError(ui, kNotCorrect, "Error");
        return false;
    }
    fw.image.bytes = std::move(buffer);
    return true;
}

bool LoadFirmware(FirmwareState& fw, Ui& ui, const FirmwareFileChooser& choose, FirmwareFileOpener& opener) {
    BusyGuard busy(fw.busy);
    if (!busy.held()) return false;
    const std::optional<std::string> path = choose();
    if (!path) return false;
    return LoadFirmwareFile(fw, ui, *path, opener);
}

bool LoadFirmware(FirmwareState& fw, Ui& ui, const FirmwareFileChooser& choose) {
    DiskFileOpener opener;
    return LoadFirmware(fw, ui, choose, opener);
}

}  // namespace ardenvel
