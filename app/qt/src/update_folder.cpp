#include "update_folder.h"

#include <QtCore/QByteArray>
#include <QtCore/QCoreApplication>
#include <QtCore/QCryptographicHash>
#include <QtCore/QDateTime>
#include <QtCore/QSysInfo>

#include <cstdlib>
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

// The lines support reads first: which program on which system.
std::string describeSystem() {
    const std::string build = conv::buildType();
    return "program: " + QCoreApplication::applicationName().toStdString() + " " + conv::programVersion() +
           (build.empty() ? "" : ", " + build + " build") + "\nos: " + QSysInfo::prettyProductName().toStdString() +
           "\nkernel: " + QSysInfo::kernelType().toStdString() + " " + QSysInfo::kernelVersion().toStdString() + " " +
           QSysInfo::currentCpuArchitecture().toStdString() + "\nqt: " + qVersion() +
           "\nhidapi: " + conv::hidapiBuildVersion() + " (tavik was built with it)\n";
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
    const std::string stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString();
    auto made = makeUpdateFolder(root, stamp, kUpdateFoldersKept);
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
    runner_.recordTo({});
    std::fclose(log_);
}

void UpdateFolder::output(std::string_view text) {
    if (log_ == nullptr) return;
    const std::string stored = homeAsTilde(text, home_);
    std::fwrite(stored.data(), 1, stored.size(), log_);
    std::fflush(log_);
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
    std::ofstream(folder_ / name, std::ios::binary | std::ios::trunc) << *bytes;
    const QByteArray content = QByteArray::fromStdString(*bytes);
    firmware_[name] = "sha256 " + QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().toStdString() +
                      ", " + std::to_string(bytes->size()) + " bytes";
}

void UpdateFolder::finish(const std::string& outcome, const std::string& cause, const QStringList& alerts) {
    if (!folder_.empty()) writeSummary(outcome, cause, alerts);
    std::fprintf(stderr, "Quillmere: %s: %s%s\n", outcome.c_str(), cause.c_str(),
                 folder_.empty() ? "" : (" (record: " + folder_.string() + ")").c_str());
}

void UpdateFolder::writeSummary(const std::string& outcome, const std::string& cause, const QStringList& alerts) {
    std::ostringstream out;
    out << system_ << "transport: " << transport_ << (pinned_.empty() ? "" : ", pinned to USB port " + pinned_)
        << "\npause scale: " << factorText(action_.pauseScale) << "\noutcome: " << outcome << "\ncause: " << cause
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
    std::ofstream(folder_ / "summary.txt", std::ios::trunc) << homeAsTilde(out.str(), home_);
}

}  // namespace quill::qt
