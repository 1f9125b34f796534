#pragma once
// quillmere-cli's command line, read the GNU way: options before or after the command word,
// "--port=PATH" or "--port PATH", short options bundled ("-qv"), "--" ending the options.
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quill::cli {

inline constexpr int kExitUpdated = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitRefused = 3;  // nothing was sent: no tool run touched the converter

extern const char* const kUsage;
extern const char* const kHelp;

struct CliOptions {
    enum class Command { None, Update, List, Report };
    Command command = Command::None;
    bool help = false;
    bool version = false;
    bool bcode = false;
    bool json = false;
    bool all = false;
    bool quiet = false;
    bool verbose = false;
    std::string port;
    bool wait = false;
    std::optional<int> waitSeconds;  // --wait=SECONDS; none: no limit
    std::string output;              // report --output
    std::string bundle;              // update, list
    std::string folder;              // report
};

// The options, or the usage error that stops them.
std::variant<CliOptions, std::string> parseCommandLine(const std::vector<std::string>& args);

}  // namespace quill::cli
