#pragma once
// What the converter keeps in flash: the application image written through the loader and the
// B code burned through the normal-mode device. Saved in a small text file of the emulator's own.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace convsim {

struct AppImage {
    std::uint32_t declaredTotal = 0;  // length announced by the first A packet; 0: region empty
    std::vector<std::uint8_t> bytes;  // bytes written so far
    bool complete() const { return declaredTotal > 0 && bytes.size() == declaredTotal; }
    std::uint16_t total16() const;  // 16-bit sum of the bytes written
    bool operator==(const AppImage&) const = default;
};

using BLineData = std::array<std::uint8_t, 16>;

struct FlashState {
    AppImage app;
    std::map<std::uint16_t, BLineData> bcode;  // burned lines by address

    // A fresh converter: a small application image, so it starts in normal mode; no B code.
    static FlashState factory();
    bool operator==(const FlashState&) const = default;
};

std::string serializeFlash(const FlashState& flash);

struct FlashParse {
    FlashState flash;
    std::optional<std::string> error;  // "line 7: ..." when the text is not a sound state
};
FlashParse parseFlash(std::string_view text);

// What `convsim --show` prints.
std::string describeFlash(const FlashState& flash);

// File I/O. load: nullopt error and nullopt flash when the file does not exist.
struct FlashLoad {
    std::optional<FlashState> flash;
    std::optional<std::string> error;
};
FlashLoad loadFlashFile(const std::string& path);
// Writes a temporary file beside `path` and renames it over `path`. Returns an error text on failure.
std::optional<std::string> saveFlashFile(const std::string& path, const FlashState& flash);

}  // namespace convsim
