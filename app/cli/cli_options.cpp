#include "cli_options.h"

#include <charconv>
#include <string_view>

#include "conv/usbport.h"

namespace quill::cli {

const char* const kUsage =
    "usage: quillmere-cli update [--b-code] [--port=PATH | --all] [--wait[=SECONDS]] [--json] [-q | -v] BUNDLE.app\n"
    "       quillmere-cli list [--json] BUNDLE.app\n"
    "       quillmere-cli report [--output=FILE] [FOLDER]\n"
    "       quillmere-cli --help | --version\n";

const char* const kHelp =
    "\n"
    "update  updates the converter's firmware as START in the Quillmere window does: the same\n"
    "        steps, checks, texts and time limits, and the same update record.\n"
    "  --b-code          update the B code too (the window's \"Controller Compatibility Update\" box)\n"
    "  --port=PATH       reach only the converter on this USB port, such as 1-1.4\n"
    "  --all             update every converter plugged in, all at once, each with its own record\n"
    "  --wait[=SECONDS]  wait until a converter is plugged in (at most SECONDS), then update it\n"
    "  --json            print one JSON object per line, each with its port: waiting, step,\n"
    "                    progress, alert, outcome, record\n"
    "  -q, --quiet       print only the outcome\n"
    "  -v, --verbose     also write the update's log and tavik's trace on standard error\n"
    "list    prints every converter plugged in, one line each: USB port, mode, node, serial\n"
    "        number, whether you may open it, and whether an update holds it.\n"
    "report  packs an update record (FOLDER, or the newest that failed) into a .tgz to send us,\n"
    "        and prints its path.\n"
    "  -o, --output=FILE the .tgz to write (default: quillmere-STAMP.tgz in this folder)\n"
    "\n"
    "BUNDLE.app is a Quillmere bundle: its name carries the version and the A image's checksum,\n"
    "it holds tavik in Contents/Resources, and tmpa.hex and tmpb.hex lie beside it.\n"
    "\n"
    "Exit status: 0 updated (or listed, or packed), 1 failed, 2 usage error, 3 refused before\n"
    "anything was sent, 128 + N ended by signal N (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, ...).\n"
    "--all exits with the worst of its updates: an interruption, then a failure, then a refusal.\n";

namespace {

using Command = CliOptions::Command;

struct Option {
    std::string_view name;
    char shortName;
    enum class Argument { None, Required, Optional } argument;
};

constexpr Option kOptions[] = {
    {"help", 'h', Option::Argument::None},    {"version", 0, Option::Argument::None},
    {"b-code", 0, Option::Argument::None},    {"port", 0, Option::Argument::Required},
    {"all", 0, Option::Argument::None},       {"wait", 0, Option::Argument::Optional},
    {"json", 0, Option::Argument::None},      {"quiet", 'q', Option::Argument::None},
    {"verbose", 'v', Option::Argument::None}, {"output", 'o', Option::Argument::Required},
};

// The commands each option belongs to.
bool allowed(std::string_view option, Command command) {
    if (option == "help" || option == "version") return true;
    if (option == "json") return command == Command::Update || command == Command::List;
    if (option == "output") return command == Command::Report;
    return command == Command::Update;
}

std::optional<std::string> apply(CliOptions& o, std::string_view name, const std::optional<std::string>& value) {
    if (name == "help") o.help = true;
    if (name == "version") o.version = true;
    if (name == "b-code") o.bcode = true;
    if (name == "all") o.all = true;
    if (name == "json") o.json = true;
    if (name == "quiet") o.quiet = true;
    if (name == "verbose") o.verbose = true;
    if (name == "output") o.output = *value;
    if (name == "port") {
        if (!conv::usbport::isPortPath(*value))
            return "--port needs a USB port path such as 1-1.4, not '" + *value + "'";
        o.port = *value;
    }
    if (name == "wait") {
        o.wait = true;
        if (value) {
            int seconds = 0;
            const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), seconds);
            if (error != std::errc() || end != value->data() + value->size() || seconds <= 0)
                return "--wait=SECONDS needs a whole number of seconds above 0, not '" + *value + "'";
            o.waitSeconds = seconds;
        }
    }
    return std::nullopt;
}

}  // namespace

std::variant<CliOptions, std::string> parseCommandLine(const std::vector<std::string>& args) {
    CliOptions o;
    std::vector<std::string> operands;
    std::vector<std::string> given;  // the options' long names, checked against the command at the end
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
            operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name", "--name=value", or a bundle of short names whose last may take a value.
        const bool isLong = arg.starts_with("--");
        std::string_view rest = arg.substr(isLong ? 2 : 1);
        while (!rest.empty()) {
            const std::size_t equals = isLong ? rest.find('=') : std::string_view::npos;
            const std::string_view name = isLong ? rest.substr(0, equals) : rest.substr(0, 1);
            const Option* option = nullptr;
            for (const Option& candidate : kOptions)
                if (isLong ? candidate.name == name : candidate.shortName == name[0]) option = &candidate;
            if (option == nullptr)
                return "unknown option '" + std::string(isLong ? "--" : "-") + std::string(name) + "'";
            std::optional<std::string> value;
            if (isLong && equals != std::string_view::npos) {
                if (option->argument == Option::Argument::None) return "--" + std::string(name) + " takes no value";
                value = std::string(rest.substr(equals + 1));
            } else if (!isLong && option->argument != Option::Argument::None && rest.size() > 1) {
                value = std::string(rest.substr(1));
            } else if (option->argument == Option::Argument::Required) {
                if (i + 1 >= args.size() || args[i + 1].empty())
                    return "--" + std::string(option->name) + " needs a value";
                value = args[++i];
            }
            if (auto error = apply(o, option->name, value)) return *error;
            given.emplace_back(option->name);
            rest = isLong || value ? std::string_view() : rest.substr(1);
        }
    }
    if (o.help || o.version) return o;
    if (operands.empty()) return std::string("no command");
    const std::string word = operands.front();
    operands.erase(operands.begin());
    o.command = word == "update"   ? Command::Update
                : word == "list"   ? Command::List
                : word == "report" ? Command::Report
                                   : Command::None;
    if (o.command == Command::None) return "unknown command '" + word + "'";
    for (const std::string& name : given)
        if (!allowed(name, o.command)) return "--" + name + " is no option of " + word;
    if (!o.port.empty() && o.all) return std::string("--port and --all exclude each other");
    if (o.quiet && o.verbose) return std::string("-q and -v exclude each other");
    if (o.command == Command::Report) {
        if (operands.size() > 1) return "unexpected argument '" + operands[1] + "'";
        if (!operands.empty()) o.folder = operands.front();
        return o;
    }
    if (operands.empty()) return std::string("no bundle given");
    if (operands.size() > 1) return "unexpected argument '" + operands[1] + "'";
    o.bundle = operands.front();
    return o;
}

}  // namespace quill::cli
