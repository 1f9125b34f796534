#include "bench_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bench {

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

namespace {

std::vector<char*> cArgs(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

pid_t spawn(const std::vector<std::string>& argv, int outFd, const std::string& errPath, int extraFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.empty() ? "/dev/null" : errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    auto args = cArgs(argv);
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    return pid;
}

}  // namespace

Run runProgram(const std::vector<std::string>& argv, const std::string& errPath) {
    Run run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const auto start = Clock::now();
    const pid_t pid = spawn(argv, pipeFds[1], errPath);
    close(pipeFds[1]);
    char buffer[16384];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0 && run.out.empty()) run.firstOutputMs = msSince(start);
        if (n > 0)
            run.out.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.ms = msSince(start);
    run.maxRssKb = usage.ru_maxrss;
    return run;
}

pid_t startProgram(const std::vector<std::string>& argv, const std::string& logPath) {
    const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + logPath);
    const pid_t pid = spawn(argv, fd, logPath);
    close(fd);
    return pid;
}

Stats stats(std::vector<double> values) {
    Stats s;
    s.n = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        const double pos = q * static_cast<double>(values.size() - 1);
        const auto i = static_cast<std::size_t>(pos);
        const double frac = pos - static_cast<double>(i);
        return i + 1 < values.size() ? values[i] * (1 - frac) + values[i + 1] * frac : values[i];
    };
    s.median = at(0.5);
    s.low = s.n >= 10 ? at(0.1) : values.front();
    s.high = s.n >= 10 ? at(0.9) : values.back();
    return s;
}

std::string show(const Stats& s, int decimals) {
    char text[96];
    std::snprintf(text, sizeof text, "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.low, decimals, s.high);
    return text;
}

Emulator::Emulator(const std::string& convsim, const std::string& dir, const std::string& name,
                   const std::vector<std::string>& options)
    : socket_(dir + "/" + name + ".sock") {
    std::vector<std::string> argv{convsim, "--socket", socket_};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = startProgram(argv, dir + "/" + name + ".log");
    for (int i = 0; i < 500; ++i) {
        if (!identity().empty()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("convsim did not come up on " + socket_);
}

Emulator::~Emulator() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

VirtualDisplay::VirtualDisplay(const std::string& logPath) {
    const char* xvfb = "/usr/bin/Xvfb";
    int fds[2];
    if (access(xvfb, X_OK) != 0 || pipe2(fds, O_CLOEXEC) != 0) return;
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    try {
        // Xvfb writes the display number it took to descriptor 3 once it accepts clients.
        pid_ =
            spawn({xvfb, "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, log, logPath, fds[1]);
    } catch (const std::exception&) {
        pid_ = -1;
    }
    close(fds[1]);
    close(log);
    // "N\n", possibly in two writes: closing the pipe before the line end would kill Xvfb.
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (pid_ > 0 && number.size() < 8 && poll(&ready, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    if (c == '\n' && !number.empty()) name_ = ":" + number;
    close(fds[0]);
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

std::string Emulator::identity() const {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
    std::string id;
    char reply[512];
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && send(fd, "L", 1, 0) == 1) {
        const ssize_t n = recv(fd, reply, sizeof reply - 1, 0);
        // "L" then "vvvv pppp PATH SERIAL\n" when a device is present.
        if (n >= 10)
            id = std::string(reply + 1, 4) + ":" + std::string(reply + 6, 4);
        else if (n >= 1)
            id = "none";
    }
    close(fd);
    return id;
}

void Emulator::waitFor(const std::string& identity) const {
    for (int i = 0; i < 5000; ++i) {
        if (this->identity() == identity) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throw std::runtime_error("emulator never showed " + identity);
}

}  // namespace bench
