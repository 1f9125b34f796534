#pragma once
// Scripted ports for driving the core without processes, windows or real time.
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "quill/front_core.h"

namespace quill::test {

struct Call {
    std::string argument;
    std::chrono::milliseconds limit;
};

struct ScriptedRunner : ToolRunner {
    std::function<RunResult(const std::string&)> respond = [](const std::string&) { return RunResult{}; };
    std::vector<Call> calls;
    RunResult runCmd(const std::string& argument, std::chrono::milliseconds limit) override {
        calls.push_back({argument, limit});
        return respond(argument);
    }
    std::string toolPath() const override { return "/bundle/Contents/Resources/tavik"; }
    // Arguments with runs of the same one folded ("sa*20"); A-line / B-line arguments as "A" / "B".
    std::vector<std::string> words() const {
        std::vector<std::string> folded;
        std::string last;
        int count = 0;
        auto flush = [&] { if (count) folded.push_back(count == 1 ? last : last + "*" + std::to_string(count)); };
        for (const auto& c : calls) {
            std::string word = c.argument.size() == 130 ? "A" : c.argument.size() == 45 ? "B" : c.argument;
            if (word != last) { flush(); last = word; count = 0; }
            ++count;
        }
        flush();
        return folded;
    }
};

struct VirtualClock : Clock {
    std::vector<long long> pausesUs;
    void pause(std::chrono::microseconds d) override { pausesUs.push_back(d.count()); }
};

struct RecordingAlerts : Alerts {
    std::vector<std::string> texts;
    void alertA(const std::string& text) override { texts.push_back(text); }
};

struct RecordingLog : Log {
    std::vector<std::string> lines;
    void log(const std::string& line) override { lines.push_back(line); }
    void trace(const std::string&) override {}
};

struct FakeView : SequenceView {
    bool ticked = false, terminated = false, running = false, startShown = true;
    void showRunningScreen() override { running = true; startShown = false; }
    void showStartButton() override { startShown = true; }
    void terminateApp() override { terminated = true; }
    bool compatibilityTicked() const override { return ticked; }
};

// One Intel HEX record with its checksum, without line end.
inline std::string record(int count, int address, int type, const std::vector<int>& data) {
    char text[16];
    int sum = count + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, ":%02X%04X%02X", count, address, type);
    std::string line = text;
    for (int b : data) { std::snprintf(text, sizeof text, "%02X", b); line += text; sum += b; }
    std::snprintf(text, sizeof text, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}

// `lines` 16-byte data records between an address record and the end record; byte i of the
// image is i * 3 + 1.
inline std::string hexFile(int lines, const char* lineEnd = "\r\n") {
    std::string text = record(2, 0, 4, {0, 0}) + lineEnd;
    for (int l = 0; l < lines; ++l) {
        std::vector<int> data;
        for (int i = 0; i < 16; ++i) data.push_back(((l * 16 + i) * 3 + 1) & 0xFF);
        text += record(16, l * 16, 0, data) + lineEnd;
    }
    return text + record(0, 0, 1, {}) + lineEnd;
}

inline unsigned imageSum(int lines) {
    unsigned sum = 0;
    for (int i = 0; i < lines * 16; ++i) sum += (i * 3 + 1) & 0xFF;
    return sum & 0xFFFF;
}

// The loader's reply dump as the tool prints it, total checksum in bytes 8 and 9.
inline std::string replyDump(unsigned total, bool ok = true) {
    char text[128];
    std::snprintf(text, sizeof text, "ckSum_r=12 34 00 00 *05 00 00 00 %02x %02x 00 00 00 00 00  ...(more readback)\n%s\n",
                  total & 0xFF, total >> 8, ok ? "uaok" : "uafail ckSum");
    return text;
}

// A core over a scratch firmware folder, with every port recorded.
struct Rig {
    std::filesystem::path dir;
    ScriptedRunner runner;
    VirtualClock clock;
    RecordingAlerts alerts;
    RecordingLog log;
    FakeView view;
    std::unique_ptr<FrontCore> core;

    explicit Rig(double scale = 1.0) {
        dir = std::filesystem::temp_directory_path() /
              ("quill_core_" + std::to_string(::getpid()) + "_" + std::to_string(counter()++));
        std::filesystem::create_directories(dir);
        core = std::make_unique<FrontCore>(Ports{runner, alerts, clock, log, view}, CoreConfig{dir.string(), scale});
    }
    ~Rig() { std::filesystem::remove_all(dir); }
    static int& counter() { static int n = 0; return n; }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    FrontState& state() { return core->state(); }
};

}  // namespace quill::test
