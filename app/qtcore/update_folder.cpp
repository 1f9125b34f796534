#include "update_folder.h"

#include <QtCore/QByteArray>
#include <QtCore/QCoreApplication>
#include <QtCore/QCryptographicHash>
#include <QtCore/QDateTime>
#include <QtCore/QSysInfo>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "conv/emuproto.h"
#include "conv/version.h"
#include "quill/update_record.h"

namespace quill::qt {
namespace {

namespace fs = std::filesystem;

std::string factorText(double factor) {
    std::ostringstream text;
    text << factor;
    return text.str();
}

// Writes `bytes` as the whole file `path`; the number of bytes that reached it, and the error that
// stopped it (0: none).
std::pair<std::size_t, int> writeWhole(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return {0, errno};
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    return {done, error};
}

// "no space left on device"
std::string errorText(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// The lines support reads first: which program on which system.
std::string describeSystem() {
    const std::string build = conv::buildType();
    return "program: " + QCoreApplication::applicationName().toStdString() + " " + conv::programVersion() +
           (build.empty() ? "" : ", " + build + " build") + "\nos: " + QSysInfo::prettyProductName().toStdString() +
           "\nkernel: " + QSysInfo::kernelType().toStdString() + " " + QSysInfo::kernelVersion().toStdString() + " " +
           QSysInfo::currentCpuArchitecture().toStdString() + "\nqt: " + qVersion() +
           "\nhidapi: " + conv::hidapiBuildVersion() + " (tavik was built with it)\n";
}

// "2026-12-07 10:15:00 +0100 (CET)"
std::string localTimeWithZone(const QDateTime& time) {
    const int offset = time.offsetFromUtc() / 60;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                  std::abs(offset) % 60);
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString() + " " + zone + " (" +
           time.timeZoneAbbreviation().toStdString() + ")";
}

}  // namespace

UpdateFolder::Action UpdateFolder::Action::of(std::string name, std::string version, const FrontCore& core) {
    return Action{std::move(name), std::move(version), core.state().LOCAL_CKSUM, core.config().timeScale,
                  core.config().pauseScale};
}

UpdateFolder::UpdateFolder(const BundleLayout& layout, Action action, ProcessToolRunner& runner)
    : layout_(layout), action_(std::move(action)), runner_(runner) {
    clock_.start();
    system_ = describeSystem();
    transport_ = describeTransport(std::getenv(conv::emu::kSocketEnv), "/sys");
    const char* home = std::getenv("HOME");
    home_ = home != nullptr ? home : "";
    const fs::path root = updatesRoot(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    const QDateTime now = QDateTime::currentDateTime();
    started_ = localTimeWithZone(now);
    runner_.forgetListed();
    auto made = makeUpdateFolder(root, now.toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString());
    std::string why;
    if (auto* error = std::get_if<std::string>(&made)) {
        why = *error;
    } else {
        folder_ = std::get<fs::path>(made);
        log_ = std::fopen((folder_ / "output.log").c_str(), "we");
        std::ofstream wire(folder_ / "wire.jsonl", std::ios::app);
        if (log_ == nullptr || !wire) why = folder_.string() + ": cannot create its files";
    }
    if (!why.empty()) {
        std::fprintf(stderr, "Quillmere: no record of this update is kept (%s); the update goes on\n", why.c_str());
        if (log_ != nullptr) std::fclose(log_);
        log_ = nullptr;
        folder_.clear();
        return;
    }
    writeSummary("running", "the update had not ended when this was written", {});
    runner_.recordTo((folder_ / "wire.jsonl").string());
}

UpdateFolder::~UpdateFolder() {
    if (folder_.empty()) return;
    if (!ended_) end("Failed", "the program stopped before the update had ended (an unexpected error)", {});
    runner_.recordTo({});
    if (log_ != nullptr) std::fclose(log_);  // already closed where a write to it failed
}

void UpdateFolder::cut(int error, const std::string& what) {
    if (incomplete_.empty()) incomplete_ = errorText(error) + " (" + what + ")";
}

void UpdateFolder::output(std::string_view text) {
    if (log_ == nullptr) return;
    const std::string stored = homeAsTilde(text, home_);
    errno = 0;
    const std::size_t written = std::fwrite(stored.data(), 1, stored.size(), log_);
    if (written == stored.size() && std::fflush(log_) == 0) {
        logBytes_ += written;
        return;
    }
    // What reached the file stays a clean beginning: nothing more is appended after a gap.
    cut(errno != 0 ? errno : ENOSPC, "output.log cut after " + std::to_string(logBytes_) + " bytes");
    std::fclose(log_);
    log_ = nullptr;
}

void UpdateFolder::phase(const std::string& name) { phases_.emplace_back(name, clock_.elapsed()); }

void UpdateFolder::firmwareRead(const std::string& name, const std::optional<std::string>& bytes,
                                const std::string& why) {
    if (folder_.empty()) return;
    if (!bytes) {
        firmware_[name] = "not read: " + why;
        return;
    }
    // The firmware as it was sent, for a replay; the bundle's name is in summary.txt.
    if (const auto [written, error] = writeWhole(folder_ / name, *bytes); error != 0)
        cut(error,
            name + " copy cut at " + std::to_string(written) + " of " + std::to_string(bytes->size()) + " bytes");
    const QByteArray content = QByteArray::fromStdString(*bytes);
    firmware_[name] = "sha256 " + QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().toStdString() +
                      ", " + std::to_string(bytes->size()) + " bytes";
}

std::string UpdateFolder::end(const std::string& outcome, const std::string& cause, const QStringList& alerts) {
    ended_ = true;
    std::string where;
    if (!folder_.empty()) {
        if (!runner_.recordingCut().empty()) cut(ENOSPC, "wire.jsonl cut: " + runner_.recordingCut());
        writeSummary(outcome, cause, alerts);
        where =
            " (record: " + folder_.string() + (incomplete_.empty() ? "" : "; record incomplete: " + incomplete_) + ")";
    }
    return outcome + ": " + cause + where;
}

void UpdateFolder::finish(const std::string& outcome, const std::string& cause, const QStringList& alerts) {
    std::fprintf(stderr, "Quillmere: %s\n", end(outcome, cause, alerts).c_str());
}

std::string UpdateFolder::describeConverter() const {
    if (pinned_.empty()) return "none chosen";
    std::string serial;
    for (const conv::usbport::PortNode& device : runner_.listed())
        if (device.port == pinned_ && serial.empty()) serial = device.serial;
    return "USB port " + pinned_ + ", serial number " + (serial.empty() ? "not known" : serial);
}

void UpdateFolder::writeSummary(const std::string& outcome, const std::string& cause, const QStringList& alerts) {
    std::ostringstream out;
    if (!incomplete_.empty()) out << "record incomplete: " << incomplete_ << "\n";
    out << system_ << "transport: " << transport_ << (pinned_.empty() ? "" : ", pinned to USB port " + pinned_)
        << "\npause scale: " << factorText(action_.pauseScale) << "\nstarted: " << started_
        << "\nconverter: " << describeConverter() << "\noutcome: " << outcome << "\ncause: " << cause
        << "\naction: " << action_.name << "\nbundle: " << fs::path(layout_.bundlePath).filename().string()
        << "\nversion: " << action_.version << "\nexpected A checksum: " << action_.localCksum
        << " (low byte first)\ntime scale: " << factorText(action_.timeScale) << "\n";
    for (const char* name : {"tmpa.hex", "tmpb.hex"}) {
        const auto read = firmware_.find(name);
        out << name << ": " << (read == firmware_.end() ? std::string("not read by this action") : read->second)
            << "\n";
    }
    for (const QString& alert : alerts) out << "alert: " << alert.toStdString() << "\n";
    const qint64 end = clock_.elapsed();
    for (std::size_t i = 0; i < phases_.size(); ++i) {
        const qint64 until = i + 1 < phases_.size() ? phases_[i + 1].second : end;
        out << "phase " << phases_[i].first << ": " << (until - phases_[i].second) << " ms\n";
    }
    out << "total: " << end << " ms\n";
    // Rewritten in place: on a full disk the space of the summary before is what this one gets.
    if (const auto [written, error] = writeWhole(folder_ / "summary.txt", homeAsTilde(out.str(), home_)); error != 0) {
        cut(error, "summary.txt cut at " + std::to_string(written) + " bytes");
        std::fprintf(stderr, "Quillmere: the record's summary.txt could not be written whole (%s)\n",
                     incomplete_.c_str());
    }
}

}  // namespace quill::qt
