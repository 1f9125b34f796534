#pragma once
// Intel HEX text for tests, written here rather than by the code under test.
#include <cstdint>
#include <string>
#include <vector>

#include "conv/hexfield.h"
#include "conv/hexfile.h"

namespace hextext {

// One record with its count and checksum, without a line end.
inline std::string record(std::uint8_t type, unsigned address, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> raw{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address), type};
    raw.insert(raw.end(), data.begin(), data.end());
    std::string text = ":";
    std::uint8_t sum = 0;
    for (auto b : raw) text += conv::hexByte(b), sum = static_cast<std::uint8_t>(sum + b);
    return text + conv::hexByte(static_cast<std::uint8_t>(-sum));
}

// Image byte i of file().
inline std::uint8_t imageByte(std::size_t i) { return static_cast<std::uint8_t>(i * 3 + 1); }

// An A image of `bytes` image bytes, as file() holds them.
inline conv::AImage image(std::size_t bytes) {
    conv::AImage image{{}, static_cast<std::uint32_t>(bytes)};
    for (std::size_t i = 0; i < bytes; ++i) image.bytes.push_back(imageByte(i));
    return image;
}

// An address record, `bytes` image bytes in 16-byte data records (the last one shorter when they
// do not fill it) and the end record.
inline std::string file(std::size_t bytes, const char* lineEnd = "\r\n") {
    std::string text = record(4, 0, {0, 0}) + lineEnd;
    for (std::size_t at = 0; at < bytes; at += 16) {
        std::vector<std::uint8_t> data;
        for (std::size_t i = at; i < bytes && i < at + 16; ++i) data.push_back(imageByte(i));
        text += record(0, static_cast<unsigned>(at), data) + lineEnd;
    }
    return text + record(1, 0, {}) + lineEnd;
}

}  // namespace hextext
