#include "end_signals.h"

#include <QtCore/QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace quill::qt {
namespace {

// Every signal whose default action ends the process, but SIGKILL (it cannot be caught), the
// faults of our own code (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS: the process
// cannot go on after them), SIGPIPE (quillmere-cli ignores it: a closed reader ends nothing) and
// SIGPROF (a profiler's).
constexpr int kEndSignals[] = {SIGTERM, SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2,
                               SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPWR,  SIGIO};

volatile std::sig_atomic_t firstSignal = 0;
int wakeFds[2] = {-1, -1};

void onEndSignal(int signal) {
    const int savedErrno = errno;  // the code interrupted may be about to read it
    if (firstSignal == 0) firstSignal = signal;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else may be done in a handler.
    [[maybe_unused]] const ssize_t written = ::write(wakeFds[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

EndSignals& EndSignals::instance() {
    static EndSignals* const watch = new EndSignals;  // lives as long as the process
    return *watch;
}

bool EndSignals::install() {
    if (notifier_ != nullptr) return true;
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    notifier_ = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char drain[64];
        while (::read(wakeFds[0], drain, sizeof drain) > 0) {
        }
        emit arrived(firstSignal);
    });
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kEndSignals) sigaction(number, &action, nullptr);
    return true;
}

int EndSignals::received() { return firstSignal; }

std::string EndSignals::name(int signal) {
    const char* abbreviation = ::sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

}  // namespace quill::qt
