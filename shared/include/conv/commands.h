#pragma once
// tavik's command words, declared once: for each word, the device it opens first, the text it
// prints when that device is not there, and how long the front end lets one run of it take.
// tavik's dispatcher is checked against this table at compile time, the front end takes its run
// limits from it, and a test holds docs/glossary.md and tavik's manual page to it.
#include <array>
#include <chrono>
#include <string_view>

namespace conv::command {

// The device a word opens before it acts; None: it opens what it needs itself, or nothing.
enum class Device { None, Loader, Normal };
// What a word prints when its device cannot be opened (see conv/toolrun.h for the texts).
enum class NotFound { None, Loader, Normal, NormalLowerF, NormalAndBlank };

// How long one run may take before the front end kills it (before the time factor).
inline constexpr std::chrono::milliseconds kReplyLimit{5000};      // waits for a reply or lists
inline constexpr std::chrono::milliseconds kWriteLimit{3000};      // writes only
inline constexpr std::chrono::milliseconds kFirmwareLimit{10000};  // one packet or line, or a whole file

struct Word {
    std::string_view word;
    Device device;
    NotFound notFound;
    std::chrono::milliseconds limit;
};

// In the order tavik compares them.
inline constexpr auto kWords = std::to_array<Word>({
    {"list", Device::None, NotFound::None, kReplyLimit},
    {"ports", Device::None, NotFound::None, kReplyLimit},
    {"sa", Device::Normal, NotFound::Normal, kWriteLimit},
    {"runaprom", Device::Loader, NotFound::Loader, kReplyLimit},
    {"sta", Device::Loader, NotFound::Loader, kReplyLimit},
    {"qa", Device::Normal, NotFound::Normal, kWriteLimit},
    {"read", Device::Loader, NotFound::Loader, kReplyLimit},
    {"sb", Device::Normal, NotFound::Normal, kWriteLimit},
    {"sbi", Device::Normal, NotFound::Normal, kReplyLimit},
    {"bb", Device::Normal, NotFound::NormalLowerF, kWriteLimit},
    {"qb", Device::Normal, NotFound::NormalAndBlank, kWriteLimit},
    {"stbb", Device::Normal, NotFound::NormalLowerF, kReplyLimit},
    {"stb", Device::Normal, NotFound::Normal, kReplyLimit},
    {"ub", Device::None, NotFound::None, kFirmwareLimit},
    {"sync", Device::Loader, NotFound::Loader, kReplyLimit},
    {"ua", Device::None, NotFound::None, kFirmwareLimit},
});

// The entry of `word`; nullptr for an argument that is no command word.
constexpr const Word* find(std::string_view word) {
    for (const Word& w : kWords)
        if (w.word == word) return &w;
    return nullptr;
}

}  // namespace conv::command
