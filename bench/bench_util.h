#pragma once
// Small helpers of the benchmark: spawning a program and reading it to the end, statistics, and
// an emulated converter started for the length of a measurement.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start);

// One program run: wall time from before the spawn to after the wait, the peak resident set
// (ru_maxrss of wait4, KiB) and everything written to standard output.
struct Run {
    double ms = 0;
    double firstOutputMs = -1;  // when the first byte of standard output arrived
    long maxRssKb = 0;
    std::string out;
};
// argv[0] is the program path; stderr goes to `errPath` (empty: /dev/null).
Run runProgram(const std::vector<std::string>& argv, const std::string& errPath = {});
// Starts a program without waiting; stdout/stderr go to `logPath`.
pid_t startProgram(const std::vector<std::string>& argv, const std::string& logPath);

struct Stats {
    std::size_t n = 0;
    double median = 0, low = 0, high = 0;  // low/high: p10/p90 when n >= 10, else min/max
};
Stats stats(std::vector<double> values);
std::string show(const Stats& s, int decimals);

// convsim on its own socket; stopped (SIGTERM) and reaped on destruction.
class Emulator {
public:
    Emulator(const std::string& convsim, const std::string& dir, const std::string& name,
             const std::vector<std::string>& options);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    const std::string& socket() const { return socket_; }
    // "0416:a316", "0e7b:0bf2" or "" from the emulator's device list.
    std::string identity() const;
    // Waits (up to 5 s) until the identity is listed; throws otherwise.
    void waitFor(const std::string& identity) const;

private:
    pid_t pid_ = -1;
    std::string socket_;
};

// Xvfb on a display number of its choosing, when installed; stopped on destruction.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const std::string& logPath);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;
    const std::string& name() const { return name_; }  // ":N", empty when none could start

private:
    pid_t pid_ = -1;
    std::string name_;
};

inline constexpr const char* kLoader = "0416:a316";
inline constexpr const char* kNormal = "0e7b:0bf2";

}  // namespace bench
