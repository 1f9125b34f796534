#include "core/dispatcher.h"

#include <array>
#include <optional>

#include "conv/commands.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "conv/usbport.h"
#include "core/commands.h"
#include "core/messages.h"

namespace tavik {

namespace {

void printLine(Session& s, const char* text) { std::fprintf(s.out(), "%s\n", text); }

// Code of the first character of a UTF-8 text, 0 for an empty one.
unsigned firstCodePoint(std::string_view text) {
    if (text.empty()) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    int extra = 0;
    unsigned code = lead;
    if (lead >= 0xF0) {
        extra = 3;
        code = lead & 0x07;
    } else if (lead >= 0xE0) {
        extra = 2;
        code = lead & 0x0F;
    } else if (lead >= 0xC0) {
        extra = 1;
        code = lead & 0x1F;
    }
    for (int i = 1; i <= extra && i < static_cast<int>(text.size()); ++i) {
        code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    return code;
}

void deviceList(Session& s) {
    std::FILE* out = s.out();
    for (const hid::DeviceInfo& d : s.transport().enumerate()) {
        std::fprintf(out, "(VIDPID)%04x/%04x (PATH)%s (SN)%s\n", d.vendorId, d.productId, d.path.c_str(),
                     d.serial.c_str());
    }
    if (s.openQuietly(Identity::Loader)) {
        std::fprintf(out, "Manufacturer String: %s\n", s.fetchDescriptor(hid::StringKind::Manufacturer).c_str());
        std::fprintf(out, "Product String: %s\n", s.fetchDescriptor(hid::StringKind::Product).c_str());
        const std::string& serial = s.fetchDescriptor(hid::StringKind::SerialNumber);
        std::fprintf(out, "Serial Number String: (%d) %s\n", static_cast<int>(firstCodePoint(serial)), serial.c_str());
        std::fprintf(out, "Indexed String 1: %s\n", s.fetchDescriptor(hid::StringKind::Indexed1).c_str());
    }
    std::fprintf(out, "\nYou can use 'stbb' to run Monitor ...\n");
}

// One line per converter present, with the USB port it is on and its serial number, then the line
// that closes the list; nothing is opened.
void listPorts(Session& s) {
    const std::vector<hid::DeviceInfo> found = s.transport().converters();
    for (const hid::DeviceInfo& d : found)
        std::fprintf(s.out(), "%s\n",
                     conv::usbport::listingLine({d.port, d.vendorId, d.productId, d.path, d.serial}).c_str());
    std::fprintf(s.out(), "%s\n", conv::usbport::listingEndLine(found.size()).c_str());
}

void monitor(Session& s) {
    std::FILE* out = s.out();
    std::fprintf(out, " (^Z to Stop)");
    for (;;) {
        if (s.readReply(conv::kFrameReportSize) < 0) {
            messages::linkLost(out, "monitor stopped");
            return;
        }
        if (s.lastResult() == 0 || s.reply()[1] == 1) continue;  // nothing new, or the device's own frames
        messages::bytes(out, s.reply(), 10);
        std::fprintf(out, " ...(^Z to Stop)\n");
        std::fflush(out);
    }
}

// What tavik does for each word; the device it opens first and its not-found text are the shared
// table's (conv/commands.h). `done`, when there is one, is printed after `run`.
struct Command {
    std::string_view word;
    void (*run)(Session&);
    const char* done = nullptr;
};

constexpr auto kCommands = std::to_array<Command>({
    {"list", deviceList},
    {"ports", listPorts},
    {"sa",
     [](Session& s) {
         SEND_QRX004Q(s);
         s.pause(1000);
         startA(s);
     },
     "saok"},
    {"runaprom", [](Session& s) { RunApRom(s); }, "\nYou can use 'sb' 'qa' 'qb' to exit upg-mode.\nrunapromok"},
    {"sta", [](Session& s) { statusA(s); }},
    {"qa", [](Session& s) { quit41_20(s); }, "qaok"},
    {"read",
     [](Session& s) {
         s.readReply(s.reply().size());
         messages::bytes(s.out(), s.reply(), 16);
     },
     " ..."},
    {"sb", [](Session& s) { SEND_QRX004Q(s); }, "sbok"},
    {"sbi",
     [](Session& s) {
         SEND_QRX004Q(s);
         s.readReply(s.reply().size());
         const auto& r = s.reply();
         std::fprintf(s.out(), "%c%c%c%c%c%c\n", r[13], r[14], r[15], r[16], r[17], r[18]);
     }},
    {"bb",
     [](Session& s) {
         // Only a burn frame that reached the device may be followed by a wait for its status.
         if (burnB(s) == static_cast<int>(conv::kFrameReportSize)) {
             messages::line(s.out(), conv::kBurnSent);
         } else {
             s.reportWriteFailure();
         }
     }},
    {"qb", [](Session& s) { quit42_20(s); }, "qbok"},
    {"stbb", monitor},
    {"stb",
     [](Session& s) {
         s.readReply(conv::kFrameReportSize);
         messages::bytes(s.out(), s.reply(), 10);
     },
     "stbok"},
    {"ub",
     [](Session& s) {
         const BcodeFile file = readBcodeFile(s);
         if (file.state != FileState::Refused && s.open(Identity::Normal, NotFound::Normal)) updateBcode(s, file);
     }},
    {"sync", [](Session& s) { CmdWriteAndReadOne(s, conv::loader::kCmdSync); }},
    {"ua",
     [](Session& s) {
         printLine(s, "you are running 'ua'");
         const AcodeFile file = readAcodeFile(s);
         if (file.state != FileState::Refused && s.open(Identity::Loader, NotFound::Loader)) updateAcode(s, file);
     }},
});

// Every word of the shared table has its action here, in the same order, and no other.
constexpr bool sameWords() {
    if (kCommands.size() != conv::command::kWords.size()) return false;
    for (std::size_t i = 0; i < kCommands.size(); ++i)
        if (kCommands[i].word != conv::command::kWords[i].word || kCommands[i].run == nullptr) return false;
    return true;
}
static_assert(sameWords(), "tavik's commands and conv/commands.h must name the same words in the same order");

Identity identityOf(conv::command::Device device) {
    return device == conv::command::Device::Loader ? Identity::Loader : Identity::Normal;
}

NotFound notFoundOf(conv::command::NotFound text) {
    switch (text) {
        case conv::command::NotFound::Loader:
            return NotFound::Loader;
        case conv::command::NotFound::NormalLowerF:
            return NotFound::NormalLowerF;
        case conv::command::NotFound::NormalAndBlank:
            return NotFound::NormalAndBlank;
        case conv::command::NotFound::None:
        case conv::command::NotFound::Normal:
            break;
    }
    return NotFound::Normal;
}

void runCommand(Session& s, const Command& c) {
    const conv::command::Word& word = *conv::command::find(c.word);
    if (word.device != conv::command::Device::None && !s.open(identityOf(word.device), notFoundOf(word.notFound)))
        return;
    c.run(s);
    if (c.done != nullptr) printLine(s, c.done);
}

const Command* findCommand(std::string_view word) {
    for (const Command& c : kCommands)
        if (c.word == word) return &c;
    return nullptr;
}

}  // namespace

ArgumentClass classify(std::span<const std::string_view> args) {
    if (args.size() != 1) return ArgumentClass::DeviceList;
    const std::string_view arg = args[0];
    if (findCommand(arg) != nullptr) return ArgumentClass::CommandWord;
    if (arg.size() <= 10) return ArgumentClass::Unknown;
    switch (static_cast<std::uint32_t>(arg.size()) / 2) {
        case 22:
            return ArgumentClass::BLine;
        case 65:
            return ArgumentClass::ALine;
        default:
            return ArgumentClass::Unknown;
    }
}

void runCommandLine(Session& s, std::span<const std::string_view> args) {
    switch (classify(args)) {
        case ArgumentClass::DeviceList:
            deviceList(s);
            break;
        case ArgumentClass::CommandWord:
            runCommand(s, *findCommand(args[0]));
            break;
        case ArgumentClass::Unknown:
            printLine(s, "UNKNOW COMMAND");
            break;
        case ArgumentClass::ALine:
            // A malformed argument is refused before any device is opened.
            if (auto refusal = checkALineArgument(args[0])) {
                printLine(s, refusal->c_str());
            } else if (s.open(Identity::Loader, NotFound::Loader)) {
                updateAcode_1line(s, args[0]);
            }
            break;
        case ArgumentClass::BLine:
            // Only a 45-character line can be sent; a 44-character one is refused by the handler.
            if (auto refusal = args[0].size() == conv::kBLineLength ? checkBLineArgument(args[0]) : std::nullopt) {
                printLine(s, refusal->c_str());
            } else if (s.open(Identity::Normal, NotFound::Normal)) {
                updateBcode_1line(s, args[0]);
            }
            break;
    }
    std::fflush(s.out());
}

}  // namespace tavik
