// quill_bench: what one update costs us. Every figure is the median of repeated runs with its
// spread, all measured in this one run so that ratios hold on a noisy machine.
//   1. one tavik run per command word of the update against an instant convsim
//   2. the A transfer through the front end's own path (FrontCore::UPDATE_A on the window's
//      QProcess runner and device holder, one tavik run per packet) against "ua" (one process),
//      and the same runs in a plain posix_spawn loop
//   3. the B transfer likewise against "ub"
//   4. the whole update in the Quillmere window with its fixed pauses removed; the window's
//      start-up to first frame; peak resident memory
//   5. (--hidraw, under scripts/hidraw-run) the full-speed A transfer through hidapi on convsim's
//      hidraw nodes, with and without the device holder, against "ua" on the same nodes
#include <QtCore/QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "conv/toolrun.h"
#include "device_holder.h"
#include "process_runner.h"
#include "quill/converter_lock.h"
#include "quill/front_core.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

struct Paths {
    std::string tavik = BENCH_TAVIK, convsim = BENCH_CONVSIM, fwgen = BENCH_FWGEN;
    std::string bundle = BENCH_BUNDLE, rssExec = BENCH_RSS_EXEC, work;
};

struct Options {
    int toolRuns = 200;  // per command word
    int transfers = 5;   // per transfer figure
    int starts = 10;     // window start-ups
    bool withoutHolder = false;
    std::string parts = "1234";
};

void check(bool ok, const std::string& what, const std::string& output = {}) {
    if (ok) return;
    std::fprintf(stderr, "quill_bench: %s\n%s\n", what.c_str(), output.substr(0, 2000).c_str());
    throw std::runtime_error(what);
}

std::string tavikDir(const Paths& p) { return fs::path(p.tavik).parent_path().string(); }

void useEmulator(const Emulator& e) { setenv("TAVIK_EMULATOR", e.socket().c_str(), 1); }

Run tavik(const Paths& p, const std::string& argument) { return runProgram({p.tavik, argument}); }
// Through rss_exec, which reports the program's own peak memory (see rss_exec.cpp).
Run measuredRss(const Paths& p, std::vector<std::string> argv, const std::string& errPath = {}) {
    argv.insert(argv.begin(), p.rssExec);
    Run r = runProgram(argv, errPath);
    const auto at = r.out.rfind("\n@rss_exec maxrss=");
    check(at != std::string::npos, "rss_exec reported nothing", r.out);
    r.maxRssKb = std::stol(r.out.substr(at + 18));
    r.out.resize(at);
    return r;
}

// The core's ports for a transfer outside the window: the real QProcess runner, pauses as the
// window makes them except the fixed ones (1 ms and longer), which are left out.
class BenchPorts : public quill::Alerts, public quill::Clock, public quill::Log, public quill::SequenceView {
public:
    void alertA(const std::string& text) override { alerts.push_back(text); }
    void pause(std::chrono::microseconds d) override {
        if (d < std::chrono::milliseconds(1)) quill::qt::pauseKeepingEventsAlive(d);
    }
    void log(const std::string&) override {}
    void trace(const std::string&) override {}
    void showRunningScreen() override {}
    void showStartButton() override {}
    void terminateApp() override {}
    bool compatibilityTicked() const override { return true; }
    std::vector<std::string> alerts;
};

// One front-end transfer (A or B) through FrontCore and the window's runner; milliseconds.
double frontTransfer(const Paths& p, char which, std::uint16_t checksum, bool hold) {
    quill::qt::ProcessToolRunner runner(QString::fromStdString(p.tavik));
    BenchPorts ports;
    quill::FileConverterLock lock("quill_bench", p.work);
    quill::FrontCore core({runner, ports, ports, ports, ports, lock}, {p.work, 1.0, 1.0, {}});
    char bundleName[64];
    std::snprintf(bundleName, sizeof bundleName, "/x/Quillmere_V100_0x%04x.app", checksum);
    core.readBundlePath(bundleName);
    const auto start = Clock::now();
    quill::Step result = quill::Step::done();
    {
        // As the window does for the length of an update.
        std::optional<quill::qt::DeviceHolder> holder;
        if (hold) holder.emplace(QString::fromStdString(tavikDir(p)));
        result = which == 'A' ? core.UPDATE_A() : core.UPDATE_B();
    }
    const double ms = msSince(start);
    check(result.ok() && ports.alerts.empty(), std::string("front-end ") + which + " transfer failed",
          ports.alerts.empty() ? result.cause() : ports.alerts[0]);
    return ms;
}

struct Row {
    std::string name;
    Stats time;
    std::string extra;
};

void printRows(const char* title, const std::vector<Row>& rows) {
    std::printf("\n%s\n", title);
    for (const Row& r : rows)
        std::printf("  %-50s %24s  n=%-4zu %s\n", r.name.c_str(), show(r.time, r.time.median < 10 ? 3 : 1).c_str(),
                    r.time.n, r.extra.c_str());
    std::fflush(stdout);
}

// ---- 1. one tavik run per command word ----------------------------------------------------

void toolRuns(const Paths& p, const Options& o, const std::vector<std::string>& aLines,
              const std::vector<std::string>& bLines) {
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, long> peakKb;
    std::map<std::string, int> runs;
    // Every tenth run of a word goes through the launcher for its memory and is not timed.
    auto timed = [&](const std::string& label, const std::string& argument, std::string_view marker) {
        const bool forRss = runs[label]++ % 10 == 9;
        const Run r = forRss ? measuredRss(p, {p.tavik, argument}) : tavik(p, argument);
        if (!marker.empty())
            check(r.out.find(marker) != std::string::npos, label + " printed no " + std::string(marker), r.out);
        if (forRss)
            peakKb[label] = std::max(peakKb[label], r.maxRssKb);
        else
            times[label].push_back(r.ms);
    };
    const std::vector<std::string> order{"sa",     "runaprom", "sta", "sync", "A line", "sb",
                                         "B line", "stb",      "bb",  "qa",   "qb"};
    {
        // Words that move the device between its identities: re-enumeration takes no time.
        Emulator e(p.convsim, p.work, "words-switch", {"--reenum-ms", "0"});
        useEmulator(e);
        for (int i = 0; i < o.toolRuns; ++i) {
            e.waitFor(kNormal);
            timed("sa", "sa", "saok");
            e.waitFor(kLoader);
            timed("runaprom", "runaprom", "runapromok");
        }
    }
    {
        Emulator e(p.convsim, p.work, "words-loader", {"--blank"});
        useEmulator(e);
        for (int i = 0; i < o.toolRuns; ++i) {
            timed("sta", "sta", conv::kLoaderReplied);
            timed("sync", "sync", conv::kLoaderReplied);
            timed("A line", aLines[0], conv::kALineSent);  // the first packet and a continuation packet
            timed("A line", aLines[1], conv::kALineSent);
        }
    }
    {
        Emulator e(p.convsim, p.work, "words-normal", {});
        useEmulator(e);
        for (int i = 0; i < o.toolRuns; ++i) {
            timed("sb", "sb", "sbok");
            timed("B line", bLines[static_cast<std::size_t>(i) % bLines.size()], conv::kBLineSent);
            timed("stb", "stb", "stbok");
            timed("bb", "bb", conv::kBurnSent);
            timed("qa", "qa", "qaok");
            timed("qb", "qb", "qbok");
        }
    }
    std::vector<Row> rows;
    std::vector<double> all;
    long peak = 0;
    for (const auto& word : order) {
        rows.push_back({"tavik " + word, stats(times[word]), "peak RSS " + std::to_string(peakKb[word]) + " KiB"});
        if (word != "sa" && word != "qb" && word != "stb")
            all.insert(all.end(), times[word].begin(), times[word].end());
        peak = std::max(peak, peakKb[word]);
    }
    rows.push_back(
        {"tavik, every word but sa/qb (1 ms pause) and stb", stats(all), "peak RSS " + std::to_string(peak) + " KiB"});
    printRows(
        "1. One tavik run, start to exit, ms (convsim instant, re-enumeration 0 ms; stb waits for the next 8 ms status "
        "report)",
        rows);
}

// ---- 2./3. transfers ----------------------------------------------------------------------

bool wholeAReported(const Run& r) {
    return r.out.find("transfered A code , done.") != std::string::npos && r.out.find("fail") == std::string::npos;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The same runs as the front end makes, started one after the other by posix_spawn (with the
// holder, without runs started ahead); milliseconds.
double spawnLoop(const Paths& p, char which, const std::vector<std::string>& lines) {
    std::optional<quill::qt::DeviceHolder> holder(QString::fromStdString(tavikDir(p)));
    const auto start = Clock::now();
    if (which == 'A') tavik(p, "sync");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Run r = tavik(p, lines[i]);
        // The first A packet's answer is not judged, as in the front end.
        if (which == 'B' || i > 0) check(r.out.find("fail") == std::string::npos, "plain loop: a run failed", r.out);
    }
    return msSince(start);
}

void transfers(const Paths& p, const Options& o, char which, std::uint16_t checksum,
               const std::vector<std::string>& lines) {
    const bool a = which == 'A';
    const std::size_t bLines = lines.size();
    const std::string word = a ? "ua" : "ub";
    std::vector<Row> rows;
    for (const bool fullSpeed : {false, true}) {
        std::vector<std::string> options{"--blank"};
        if (!a) options.clear();
        if (fullSpeed) options.insert(options.end(), {"--usb", "full-speed"});
        Emulator e(p.convsim, p.work, std::string("transfer-") + which + (fullSpeed ? "-fs" : ""), options);
        useEmulator(e);
        const bool holderToo = fullSpeed && o.withoutHolder;
        std::vector<double> front, frontBare, loop, one;
        for (int t = 0; t < o.transfers; ++t) {
            if (!a) tavik(p, "sb");  // into update mode
            front.push_back(frontTransfer(p, which, checksum, true));
            if (holderToo && t < 2) {
                if (!a) tavik(p, "sb");
                frontBare.push_back(frontTransfer(p, which, checksum, false));
            }
            if (!a) tavik(p, "sb");
            loop.push_back(spawnLoop(p, which, lines));
            if (!a) tavik(p, "sb");
            const Run r = tavik(p, word);
            const bool complete = a ? wholeAReported(r) : count(r.out, "### hid_read(") == bLines;  // one echo per line
            check(complete && r.out.find("fail") == std::string::npos, "\"" + word + "\" did not complete", r.out);
            one.push_back(r.ms);
        }
        const char* speed = fullSpeed ? "full-speed" : "instant";
        const Stats f = stats(front), u = stats(one);
        char ratio[64];
        std::snprintf(ratio, sizeof ratio, "ratio of medians %.2f", f.median / u.median);
        rows.push_back({std::string("front end, one run per ") + (a ? "packet" : "line") + ", " + speed, f, ratio});
        if (!frontBare.empty()) {
            const Stats b = stats(frontBare);
            std::snprintf(ratio, sizeof ratio, "ratio of medians %.2f", b.median / u.median);
            rows.push_back({std::string("  same without the device holder, ") + speed, b, ratio});
        }
        const Stats l = stats(loop);
        std::snprintf(ratio, sizeof ratio, "ratio of medians %.2f", l.median / u.median);
        rows.push_back({"  same runs in a plain posix_spawn loop, " + std::string(speed), l, ratio});
        rows.push_back({"tavik \"" + word + "\" (one process), " + std::string(speed), u, ""});
    }
    printRows(a ? "2. A transfer of the sample image, ms" : "3. B transfer of the sample file, ms", rows);
}

// ---- 5. the A transfer through hidraw --------------------------------------------------------

// The device is the loader that scripts/hidraw-run serves (--blank --usb full-speed); tavik and
// tavik-hold reach it through hidapi and hidraw, as on a real machine.
void hidrawTransfer(const Paths& p, const Options& o, std::uint16_t checksum) {
    check(std::getenv("TAVIK_EMULATOR") == nullptr && fs::exists("/sys/class/hidraw/hidraw0"),
          "--hidraw needs convsim's hidraw nodes: run it as scripts/bench --hidraw");
    std::vector<double> held, bare, one;
    for (int t = 0; t < o.transfers; ++t) {
        held.push_back(frontTransfer(p, 'A', checksum, true));
        bare.push_back(frontTransfer(p, 'A', checksum, false));
        const Run r = tavik(p, "ua");
        check(wholeAReported(r), "\"ua\" did not complete through hidraw", r.out);
        one.push_back(r.ms);
    }
    const Stats u = stats(one);
    std::vector<Row> rows;
    for (const auto& [name, times] : {std::pair{"front end, one run per packet, with the holder", &held},
                                      std::pair{"  same without the device holder", &bare}}) {
        const Stats s = stats(*times);
        char ratio[64];
        std::snprintf(ratio, sizeof ratio, "ratio of medians %.2f", s.median / u.median);
        rows.push_back({name, s, ratio});
    }
    rows.push_back({"tavik \"ua\" (one process)", u, ""});
    printRows("5. A transfer of the sample image through hidapi on hidraw nodes, full-speed, ms", rows);
}

// ---- 4. the window --------------------------------------------------------------------------

void window(const Paths& p, const Options& o, std::uint16_t checksum) {
    // A copy of the bundle whose name carries the sample image's checksum, firmware beside it.
    char name[64];
    std::snprintf(name, sizeof name, "Quillmere_V100_0x%04x.app", checksum);
    const fs::path appDir = fs::path(p.work) / "app";
    const fs::path bundle = appDir / name;
    fs::remove_all(appDir);
    fs::create_directories(appDir);
    fs::copy(p.bundle, bundle, fs::copy_options::recursive);
    fs::copy_file(fs::path(p.work) / "tmpa.hex", appDir / "tmpa.hex");
    fs::copy_file(fs::path(p.work) / "tmpb.hex", appDir / "tmpb.hex");
    const std::string exe = (bundle / "Contents" / "MacOS" / "Quillmere").string();
    // A real X server (Xvfb) when installed, else Qt's offscreen platform.
    VirtualDisplay display(p.work + "/xvfb.log");
    setenv("QT_QPA_PLATFORM", display.name().empty() ? "offscreen" : "xcb", 1);
    if (!display.name().empty()) setenv("DISPLAY", display.name().c_str(), 1);

    std::vector<double> first, firstRss;
    setenv("QUILLMERE_FIRST_FRAME", "1", 1);
    for (int i = 0; i < o.starts; ++i) {
        const Run r = measuredRss(p, {exe}, p.work + "/first-frame.log");
        check(r.out.find("FIRST FRAME") != std::string::npos, "Quillmere printed no FIRST FRAME line", r.out);
        first.push_back(r.firstOutputMs);
        firstRss.push_back(static_cast<double>(r.maxRssKb) / 1024);
    }
    unsetenv("QUILLMERE_FIRST_FRAME");

    // The whole update in the window, instant and at full-speed timing (tavik-hold is in the bundle).
    std::vector<Row> rows{{"start to first frame, ms", stats(first), "peak RSS " + show(stats(firstRss), 1) + " MiB"}};
    setenv("QUILLMERE_PAUSE_SCALE", "0", 1);
    for (const bool fullSpeed : {false, true}) {
        std::vector<std::string> options{"--reenum-ms", "0"};
        if (fullSpeed) options.insert(options.end(), {"--usb", "full-speed"});
        Emulator e(p.convsim, p.work, fullSpeed ? "update-fs" : "update", options);
        useEmulator(e);
        std::vector<double> update, rss;
        for (int i = 0; i < o.transfers; ++i) {
            const Run r = measuredRss(p, {exe, "--auto-start", "--tick", "--auto-finish", "--auto-alert"},
                                      p.work + "/update-window.log");
            // Without its pauses the D0 wait may end before a full-speed burn does ("auto-fixed").
            std::string alerts = r.out;
            for (auto at = alerts.find("ALERT: Timeout (wait status:D0)"); at != std::string::npos;
                 at = alerts.find("ALERT: Timeout (wait status:D0)"))
                alerts.erase(at, 5);
            check(r.out.find("Firmware successfully updated.") != std::string::npos &&
                      alerts.find("ALERT") == std::string::npos,
                  "the update in the window did not complete", r.out);
            update.push_back(r.ms);
            rss.push_back(static_cast<double>(r.maxRssKb) / 1024);
        }
        rows.push_back(
            {std::string("whole update A+B, pauses removed, ") + (fullSpeed ? "full-speed" : "instant") + ", ms",
             stats(update), "peak RSS " + show(stats(rss), 1) + " MiB"});
    }
    unsetenv("QUILLMERE_PAUSE_SCALE");
    const std::string platform = display.name().empty() ? "offscreen platform" : "Xvfb " + display.name();
    printRows(("4. Quillmere window (" + platform + "; convsim re-enumeration 0 ms)").c_str(), rows);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            o.toolRuns = 30, o.transfers = 2, o.starts = 3;
        } else if (arg == "--only" && i + 1 < argc) {
            o.parts = argv[++i];
        } else if (arg == "--without-holder") {
            o.withoutHolder = true;
        } else if (arg == "--hidraw") {
            o.parts = "5";
        } else {
            std::fprintf(stderr,
                         "usage: quill_bench [--quick] [--without-holder] [--only PARTS (e.g. 13)] [--hidraw]\n");
            return 2;
        }
    }
    Paths p;
    char work[] = "/tmp/quill-bench-XXXXXX";
    if (!mkdtemp(work)) return 1;
    p.work = work;
    try {
        // The sample firmware: 30000-byte A image, 320 B lines; "ua"/"ub" read theirs beside tavik.
        for (const auto& [kind, file] : {std::pair{"a", "tmpa.hex"}, std::pair{"b", "tmpb.hex"}}) {
            check(runProgram({p.fwgen, kind, p.work + "/" + file}).out.empty(), "fwgen failed");
        }
        fs::copy_file(p.work + "/tmpa.hex", tavikDir(p) + "/tarna.hex", fs::copy_options::overwrite_existing);
        fs::copy_file(p.work + "/tmpb.hex", tavikDir(p) + "/tarn_b.hex", fs::copy_options::overwrite_existing);
        const auto aImage =
            conv::gatherAImage(conv::splitHexLines(conv::readFirmwareFile(p.work + "/tmpa.hex").bytes)).image;
        std::vector<std::string> aLines;
        for (const auto& packet : conv::buildAPackets(aImage)) aLines.push_back(conv::formatALine(packet));
        const auto bLines =
            conv::gatherBLines(conv::splitHexLines(conv::readFirmwareFile(p.work + "/tmpb.hex").bytes)).lines;
        std::printf(
            "quill_bench: A image %zu bytes (%zu packets), B file %zu lines; median (p10-p90 when n >= 10, "
            "else min-max)\n",
            aImage.bytes.size(), aLines.size(), bLines.size());

        auto part = [&](char n) { return o.parts.find(n) != std::string::npos; };
        if (part('1')) toolRuns(p, o, aLines, bLines);
        if (part('2')) transfers(p, o, 'A', aImage.checksum16(), aLines);
        if (part('3')) transfers(p, o, 'B', aImage.checksum16(), bLines);
        if (part('4')) window(p, o, aImage.checksum16());
        if (part('5')) hidrawTransfer(p, o, aImage.checksum16());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quill_bench: %s (logs in %s)\n", e.what(), p.work.c_str());
        return 1;
    }
    fs::remove_all(p.work);
    return 0;
}
