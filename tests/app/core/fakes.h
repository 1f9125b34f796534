#pragma once
// A scripted tool that answers per argument and records each run with its limit, a virtual clock,
// recorded alerts and a fake window, over a scratch firmware folder.
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "conv/packets.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "hex_text.h"
#include "quill/front_core.h"

namespace quill::test {

using Words = std::vector<std::string>;

// One line of tool output made of a word tavik prints.
inline std::string said(std::string_view word) { return std::string(word) + "\n"; }
// A run that exited, having printed `output`.
inline RunResult exited(std::string output) { return {RunEnd::Exited, std::move(output), "", ""}; }

// Folds runs of equal items: {"sa","sa","sta"} -> {"sa*2","sta"}.
inline Words fold(const Words& items) {
    Words out;
    for (std::size_t i = 0, j; i < items.size(); i = j) {
        for (j = i; j < items.size() && items[j] == items[i];) ++j;
        out.push_back(items[i] + (j - i > 1 ? "*" + std::to_string(j - i) : ""));
    }
    return out;
}

// A converter lock that gives the answer a test sets, and notes each port asked for.
struct FakeLock : ConverterLock {
    LockAttempt answer;
    Words* events = nullptr;  // "lock PORT" on acquire
    bool held = false;
    LockAttempt acquire(const std::string& port) override {
        events->push_back("lock " + port);
        held = answer.status == LockAttempt::Status::Taken;
        return answer;
    }
    void release() override { held = false; }
};

// A listing of `converters` converters ("PORT VID:PID NODE" each).
inline std::string listed(const Words& converters) {
    std::string text;
    for (const auto& c : converters) text += "CONVERTER " + c + "\n";
    return text + conv::usbport::listingEndLine(static_cast<int>(converters.size())) + "\n";
}

// hextext::file() of `lines` full records, and the low 16 bits of its image's sum.
inline std::string hexFile(int lines, const char* lineEnd = "\r\n") { return hextext::file(lines * 16u, lineEnd); }
inline unsigned imageSum(int lines) { return hextext::image(lines * 16u).checksum16(); }

// A loader reply dump as the tool prints it, with `total` in reply bytes 8 and 9.
inline std::string replyDump(unsigned total) {
    char text[96];
    std::snprintf(text, sizeof text, "12 34 00 00 *05 00 00 00 %02x %02x 00 00 00 00 00  ...(more readback)\n",
                  total & 0xFF, total >> 8);
    return std::string(conv::kChecksumDump) + text + std::string(conv::kALineSent) + "\n";
}

// What a loader command prints once the loader's reply was read.
inline std::string loaderReply() { return std::string(conv::kLoaderReplied) + "64 (a6 00 00 00 02 00 ...\n"; }

// tavik as for a converter on port 1-1 that does all it should: 160-byte A image (48 + 2 * 56),
// 5 B lines, matching name. `respond` answers each run; the fields it reads change single answers.
struct FakeTavik : ToolRunner, Clock, Alerts, Log, SequenceView {
    std::string staOutput = loaderReply(),
                stbOutput = said(std::string(conv::kStatusBurned) + " " + std::string(conv::kStatusLinesHeld) +
                                 " 00 00 00 00 stbok"),
                bOutput = said(conv::kBLineSent), bbOutput = said(conv::kBurnSent);
    RunEnd staEnd = RunEnd::Exited, syncEnd = RunEnd::Exited;
    int uafailAt = 0, aRuns = 0;  // uafailAt: the A packet (from 1) that the loader refuses
    std::function<RunResult(const std::string&)> respond = [this](const std::string& arg) {
        if (arg == "sta") return RunResult{staEnd, staOutput, "", ""};
        if (arg == "stb") return exited(stbOutput);
        if (arg == "sync") return RunResult{syncEnd, loaderReply(), "", ""};
        if (arg == "bb") return exited(bbOutput);
        if (arg == "ports") return exited(listed({"1-1 0e7b:0bf2 /dev/hidraw0"}));
        if (arg.size() == 130)
            return exited(++aRuns == uafailAt ? said(std::string(conv::kALineFailed) + " ckSum")
                                              : replyDump(imageSum(10)));
        return exited(arg.size() == 45 ? bOutput : arg + "ok\n");
    };
    std::vector<std::pair<std::string, std::chrono::milliseconds>> calls;
    Words hints;  // per run: the run it was told would follow it
    std::string next;
    Words pausesUs, alerts;
    Words pinned;  // each port the runs were pinned to, and each lock asked for
    FakeLock lock;
    // What "ports" prints; nullopt: this runner cannot list.
    std::optional<RunResult> listing = exited(listed({"1-1 0e7b:0bf2 /dev/hidraw0"}));
    int emptyLooks = 0;  // so many listings first list no converter
    bool ticked = false, terminated = false, startShown = true;
    std::filesystem::path dir;
    std::unique_ptr<FrontCore> core;

    explicit FakeTavik(bool box = false, double scale = 1.0, double pauseScale = 1.0) : ticked(box) {
        static int n = 0;
        dir = std::filesystem::temp_directory_path() /
              ("quill_core_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        std::filesystem::create_directories(dir);
        lock.events = &pinned;
        makeCore(scale, pauseScale, "");
        write("tmpa.hex", hexFile(10));
        write("tmpb.hex", hexFile(5));
        char name[48];
        std::snprintf(name, sizeof name, "/x/Quillmere_V1_0x%04x.app", imageSum(10));
        core->readBundlePath(name);
    }
    ~FakeTavik() override { std::filesystem::remove_all(dir); }
    void makeCore(double scale, double pauseScale, const std::string& port) {
        core = std::make_unique<FrontCore>(Ports{*this, *this, *this, *this, *this, lock},
                                           CoreConfig{dir.string(), scale, pauseScale, port});
    }
    // The core anew, its updates limited to the converter on `port` (as --port chooses it).
    void chooseConverter(const std::string& port) {
        const std::string checksum = core->state().LOCAL_CKSUM;
        makeCore(1.0, 1.0, port);
        core->state().LOCAL_CKSUM = checksum;
    }

    RunResult runCmd(const std::string& arg, std::chrono::milliseconds limit) override {
        calls.emplace_back(arg, limit);
        hints.push_back(std::exchange(next, {}));
        return respond(arg);
    }
    void expectNext(const std::string& run) override { next = run; }
    std::string toolPath() const override { return "/b/tavik"; }
    std::optional<RunResult> listConverters(std::chrono::milliseconds) override {
        return emptyLooks-- > 0 ? exited(listed({})) : listing;
    }
    void pinPort(const std::string& port) override { pinned.push_back(port); }
    void pause(std::chrono::microseconds d) override { pausesUs.push_back(std::to_string(d.count())); }
    void alertA(const std::string& text) override { alerts.push_back(text); }
    void log(const std::string&) override {}
    void trace(const std::string&) override {}
    void showRunningScreen() override { startShown = false; }
    void showStartButton() override { startShown = true; }
    void terminateApp() override { terminated = true; }
    bool compatibilityTicked() const override { return ticked; }

    // Tool arguments folded, A-line / B-line arguments shown as "A" / "B".
    Words words() const {
        Words w;
        for (const auto& c : calls) w.push_back(c.first.size() == 130 ? "A" : c.first.size() == 45 ? "B" : c.first);
        return fold(w);
    }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    std::string path(const char* name) const { return (dir / name).string(); }
    FrontState& state() { return core->state(); }
};

}  // namespace quill::test
