#include "core/dispatcher.h"

#include <array>

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

void fetchString(Session& s, hid::StringKind kind) {
    // A failed query leaves the previous text in place.
    if (auto text = s.handle->getString(kind)) s.wstr = *text;
}

void deviceList(Session& s) {
    std::FILE* out = s.out();
    for (const hid::DeviceInfo& d : s.transport().enumerate()) {
        std::fprintf(out, "(VIDPID)%04x/%04x (PATH)%s (SN)%s\n", d.vendorId, d.productId, d.path.c_str(),
                     d.serial.c_str());
    }
    if (s.openQuietly(Identity::Loader)) {
        fetchString(s, hid::StringKind::Manufacturer);
        std::fprintf(out, "Manufacturer String: %s\n", s.wstr.c_str());
        fetchString(s, hid::StringKind::Product);
        std::fprintf(out, "Product String: %s\n", s.wstr.c_str());
        fetchString(s, hid::StringKind::SerialNumber);
        std::fprintf(out, "Serial Number String: (%d) %s\n", static_cast<int>(firstCodePoint(s.wstr)),
                     s.wstr.c_str());
        fetchString(s, hid::StringKind::Indexed1);
        std::fprintf(out, "Indexed String 1: %s\n", s.wstr.c_str());
    }
    std::fprintf(out, "\nYou can use 'stbb' to run Monitor ...\n");
}

// One line per converter present, with the USB port it is on; nothing is opened.
void listPorts(Session& s) {
    for (const hid::DeviceInfo& d : s.transport().converters())
        std::fprintf(s.out(), "%s\n", conv::usbport::listingLine({d.port, d.vendorId, d.productId, d.path}).c_str());
}

void monitor(Session& s) {
    std::FILE* out = s.out();
    std::fprintf(out, " (^Z to Stop)");
    for (;;) {
        if (s.readBufR(conv::kFrameReportSize) < 0) {
            messages::linkLost(out, "monitor stopped");
            return;
        }
        if (s.res == 0 || s.bufR[1] == 1) continue;  // nothing new, or the device's own frames
        for (int i = 0; i < 10; ++i) std::fprintf(out, conv::kReportByteFormat, s.bufR[i]);
        std::fprintf(out, " ...(^Z to Stop)\n");
        std::fflush(out);
    }
}

struct Command {
    std::string_view word;
    void (*run)(Session&);
};

// In the order the words are compared.
constexpr std::array<Command, 16> kCommands{{
    {"list", deviceList},
    {"ports", listPorts},
    {"sa",
     [](Session& s) {
         if (!s.open(Identity::Normal, NotFound::Normal)) return;
         SEND_QRX004Q(s);
         s.pause(1000);
         startA(s);
         printLine(s, "saok");
     }},
    {"runaprom",
     [](Session& s) {
         if (!s.open(Identity::Loader, NotFound::Loader)) return;
         RunApRom(s);
         printLine(s, "\nYou can use 'sb' 'qa' 'qb' to exit upg-mode.");
         printLine(s, "runapromok");
     }},
    {"sta",
     [](Session& s) {
         if (s.open(Identity::Loader, NotFound::Loader)) statusA(s);
     }},
    {"qa",
     [](Session& s) {
         if (!s.open(Identity::Normal, NotFound::Normal)) return;
         quit41_20(s);
         printLine(s, "qaok");
     }},
    {"read",
     [](Session& s) {
         if (!s.open(Identity::Loader, NotFound::Loader)) return;
         s.readBufR(s.bufR.size());
         for (int i = 0; i < 16; ++i) std::fprintf(s.out(), "%02x ", s.bufR[i]);
         printLine(s, " ...");
     }},
    {"sb",
     [](Session& s) {
         if (!s.open(Identity::Normal, NotFound::Normal)) return;
         SEND_QRX004Q(s);
         printLine(s, "sbok");
     }},
    {"sbi",
     [](Session& s) {
         if (!s.open(Identity::Normal, NotFound::Normal)) return;
         SEND_QRX004Q(s);
         s.readBufR(s.bufR.size());
         const auto& r = s.bufR;
         std::fprintf(s.out(), "%c%c%c%c%c%c\n", r[13], r[14], r[15], r[16], r[17], r[18]);
     }},
    {"bb",
     [](Session& s) {
         if (s.open(Identity::Normal, NotFound::NormalLowerF)) burnB(s);
     }},
    {"qb",
     [](Session& s) {
         if (!s.open(Identity::Normal, NotFound::NormalAndBlank)) return;
         quit42_20(s);
         printLine(s, "qbok");
     }},
    {"stbb",
     [](Session& s) {
         if (s.open(Identity::Normal, NotFound::NormalLowerF)) monitor(s);
     }},
    {"stb",
     [](Session& s) {
         if (!s.open(Identity::Normal, NotFound::Normal)) return;
         s.readBufR(conv::kFrameReportSize);
         for (int i = 0; i < 10; ++i) std::fprintf(s.out(), conv::kReportByteFormat, s.bufR[i]);
         printLine(s, "stbok");
     }},
    {"ub",
     [](Session& s) {
         const BcodeFile file = readBcodeFile(s);
         if (file.state != FileState::Refused && s.open(Identity::Normal, NotFound::Normal)) updateBcode(s, file);
     }},
    {"sync",
     [](Session& s) {
         if (s.open(Identity::Loader, NotFound::Loader)) CmdWriteAndReadOne(s, conv::loader::kCmdSync);
     }},
    {"ua",
     [](Session& s) {
         printLine(s, "you are running 'ua'");
         const AcodeFile file = readAcodeFile(s);
         if (file.state != FileState::Refused && s.open(Identity::Loader, NotFound::Loader)) updateAcode(s, file);
     }},
}};

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
        case 22: return ArgumentClass::BLine;
        case 65: return ArgumentClass::ALine;
        default: return ArgumentClass::Unknown;
    }
}

void runCommandLine(Session& s, std::span<const std::string_view> args) {
    switch (classify(args)) {
        case ArgumentClass::DeviceList: deviceList(s); break;
        case ArgumentClass::CommandWord: findCommand(args[0])->run(s); break;
        case ArgumentClass::Unknown: printLine(s, "UNKNOW COMMAND"); break;
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
