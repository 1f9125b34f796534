#include "conv/hexfield.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace conv {

unsigned long HexStringToDec(std::string_view text, int n) {
    if (n < 1) return 0;
    if (n > 15) n = 15;
    char field[16] = {};
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), text.size());
    // strtoul stops at a NUL anyway; copying only up to one keeps the field a C string.
    for (std::size_t i = 0; i < take && text[i] != '\0'; ++i) field[i] = text[i];
    return std::strtoul(field, nullptr, 16);
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isHexDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!isHexDigit(c)) return false;
    return true;
}

static int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

std::optional<std::uint8_t> parseHexByte(std::string_view two) {
    if (two.size() < 2 || !isHexDigit(two[0]) || !isHexDigit(two[1])) return std::nullopt;
    return static_cast<std::uint8_t>(digitValue(two[0]) * 16 + digitValue(two[1]));
}

std::optional<std::uint16_t> parseHexWord(std::string_view four) {
    if (four.size() != 4 || !isHexDigits(four)) return std::nullopt;
    return static_cast<std::uint16_t>((*parseHexByte(four.substr(0, 2)) << 8) | *parseHexByte(four.substr(2, 2)));
}

std::string identityText(std::uint16_t vendorId, std::uint16_t productId) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> parseIdentityText(std::string_view text) {
    if (text.size() != 9 || text[4] != ':') return std::nullopt;
    const auto vendorId = parseHexWord(text.substr(0, 4));
    const auto productId = parseHexWord(text.substr(5));
    if (!vendorId || !productId) return std::nullopt;
    return std::pair(*vendorId, *productId);
}

std::string hexByte(std::uint8_t value) {
    static constexpr char digits[] = "0123456789abcdef";
    return std::string{digits[value >> 4], digits[value & 0x0F]};
}

}  // namespace conv
