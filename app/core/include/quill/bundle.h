#pragma once
// What the front end learns from where it lives: the version text and the expected final A
// checksum from the bundle's path, and where the tool, pictures and firmware files are.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

// Why a bundle name's checksum field cannot be used.
struct ChecksumProblem {
    std::string cause;  // for the update record: "the bundle name has no checksum field"
    std::string alert;  // the cause as a sentence, then what the field must look like
};

struct BundleName {
    std::optional<std::string> versionText;          // "V 1.2.3"; absent: labelVer keeps its empty title
    std::string localCksum;                          // LOCAL_CKSUM: "2b 1a", or "LB HB" when absent
    std::optional<ChecksumProblem> checksumProblem;  // set when the checksum field is absent or malformed
    std::vector<std::string> logLines;               // the path itself, then "bad str 'Vxx'" per placeholder
};

// Splits the whole path at "_" and takes the first version field ("v"/"V" + at least one more
// character; "Vxx" is skipped with a log line) and the first field beginning with "0x"/"0X" as
// the checksum: four hexadecimal digits, then nothing or a character that is no digit (".app").
// The checksum is kept in lower case, as the tool prints reply bytes. Without such a field, or
// with a malformed one, nothing may be sent: checksumProblem says why.
BundleName readBundleName(std::string_view bundlePath);

// The problem of a bundle name whose first "0x" field is missing (nullopt) or malformed.
ChecksumProblem checksumFieldProblem(std::optional<std::string_view> found);

// Display text of a version field: "V123" -> "V 1.2.3", "V12" -> "V 1.2", "V1" -> "V 1.".
std::string versionDisplayText(std::string_view field);

// "ll hh" -> the 16-bit value (low byte first); nullopt for "LB HB" or anything else malformed.
std::optional<unsigned> parseLocalCksum(std::string_view text);

// Where the running program finds its parts.
struct BundleLayout {
    std::string bundlePath;   // the bundle folder (read for version and checksum)
    std::string resourceDir;  // tavik and the pictures
    std::string firmwareDir;  // "tmpa.hex" and "tmpb.hex"
};

// From the executable's path: inside NAME.app/Contents/MacOS/ the bundle is NAME.app, its
// resources are Contents/Resources and the firmware lies beside the bundle. An executable
// outside any bundle uses its own folder for all three. Pure path logic; touches no disk.
BundleLayout locateBundle(std::string_view executablePath);

}  // namespace quill
