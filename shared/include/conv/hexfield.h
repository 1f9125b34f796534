#pragma once
// Hexadecimal text fields as both programs read them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace conv {

// Converts the first n characters of text (n from 1 to 15; fewer when text is shorter) as an
// unsigned base-16 number: leading blanks, an optional sign and an optional 0x prefix are
// skipped, conversion stops at the first non-digit, no digit gives 0.
unsigned long HexStringToDec(std::string_view text, int n);

bool isHexDigit(char c);
// True when every character of text is a hexadecimal digit (either case); false for "".
bool isHexDigits(std::string_view text);
// Two hexadecimal digits (either case) as a byte; nullopt when either is not a digit.
std::optional<std::uint8_t> parseHexByte(std::string_view two);
// Exactly four hexadecimal digits (either case) as a 16-bit number: no sign, prefix or blank.
std::optional<std::uint16_t> parseHexWord(std::string_view four);

// A USB identity as every program writes it: "0416:a316".
std::string identityText(std::uint16_t vendorId, std::uint16_t productId);
// Exactly "vvvv:pppp" (either case) back into vendor and product id.
std::optional<std::pair<std::uint16_t, std::uint16_t>> parseIdentityText(std::string_view text);

// Lower-case "%02x" of one byte.
std::string hexByte(std::uint8_t value);

}  // namespace conv
