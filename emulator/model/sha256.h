#pragma once
// SHA-256 for the flash report (`convsim --show`), so the emulator needs no crypto library.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace convsim {

class Sha256 {
public:
    Sha256();
    void update(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 32> finish();

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> block_{};
    std::size_t blockUsed_ = 0;
    std::uint64_t totalBytes_ = 0;
};

// Lower-case hex digest of `bytes`.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace convsim
