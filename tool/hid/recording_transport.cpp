// The recording decorator: any back end, with every open and report appended to the wire
// recording as it happens.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "conv/wirerecord.h"
#include "hid/transport.h"

namespace tavik::hid {

namespace {

using conv::wire::Event;
using conv::wire::Kind;

// The recording file of one run. Each line goes out in one write() on an O_APPEND descriptor,
// so a line is never split by another writer; any failure only ends the recording. The file is
// opened without blocking and used only when it is a regular file.
class Recorder {
public:
    explicit Recorder(const std::string& path)
        : path_(path),
          fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644)),
          start_(std::chrono::steady_clock::now()) {
        if (fd_ < 0) cut(errno);
        // Only a regular file records: a FIFO, a device or a socket never holds the run up.
        struct stat st {};
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Recorder() {
        if (fd_ >= 0) ::close(fd_);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void append(Event event) {
        if (fd_ < 0) return;
        event.t =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
        const std::string line = conv::wire::formatLine(event);
        ssize_t written;
        do {
            written = ::write(fd_, line.data(), line.size());
        } while (written < 0 && errno == EINTR);
        if (written != static_cast<ssize_t>(line.size())) {
            cut(written < 0 ? errno : ENOSPC);
            ::close(fd_);  // a partial line stays the last one: the file reads as cut off there
            fd_ = -1;
        }
    }

private:
    // Whoever keeps the recording must hear that it is not whole.
    void cut(int error) const {
        std::fprintf(stderr, "%.*s%s (%s)\n", static_cast<int>(conv::wire::kRecordingCut.size()),
                     conv::wire::kRecordingCut.data(), std::strerror(error), path_.c_str());
    }

    std::string path_;
    int fd_;
    std::chrono::steady_clock::time_point start_;
};

Event report(Kind kind, std::uint16_t vid, std::uint16_t pid, int n, std::span<const std::uint8_t> bytes) {
    Event e;
    e.kind = kind;
    e.vendorId = vid;
    e.productId = pid;
    e.n = n;
    e.bytes.assign(bytes.begin(), bytes.end());
    return e;
}

class RecordingDevice final : public Device {
public:
    RecordingDevice(std::unique_ptr<Device> inner, Recorder& recorder, std::uint16_t vid, std::uint16_t pid)
        : inner_(std::move(inner)), recorder_(recorder), vid_(vid), pid_(pid) {}

    int write(std::span<const std::uint8_t> data) override {
        const int n = inner_->write(data);
        recorder_.append(report(Kind::Out, vid_, pid_, n, data));
        return n;
    }
    WriteFailure lastWriteFailure() const override { return inner_->lastWriteFailure(); }

    int read(std::span<std::uint8_t> data, int timeoutMs) override {
        const int n = inner_->read(data, timeoutMs);
        Event e = report(Kind::In, vid_, pid_, n, data.first(n > 0 ? static_cast<std::size_t>(n) : 0));
        e.waitMs = timeoutMs < 0 ? kBlocking : timeoutMs;
        recorder_.append(std::move(e));
        return n;
    }

    // Only a report taken is recorded: a failure shows in the write that follows.
    int discard(std::span<std::uint8_t> data) override {
        const int n = inner_->discard(data);
        if (n > 0) recorder_.append(report(Kind::Drop, vid_, pid_, n, data.first(static_cast<std::size_t>(n))));
        return n;
    }

    std::optional<std::string> getString(StringKind kind) override { return inner_->getString(kind); }

private:
    std::unique_ptr<Device> inner_;
    Recorder& recorder_;
    std::uint16_t vid_;
    std::uint16_t pid_;
};

class RecordingTransport final : public Transport {
public:
    RecordingTransport(std::unique_ptr<Transport> inner, const std::string& path,
                       std::span<const std::string_view> args)
        : inner_(std::move(inner)), recorder_(path) {
        Event run;
        run.kind = Kind::Run;
        run.pid = static_cast<long>(::getpid());
        run.argc = static_cast<int>(args.size());
        if (args.size() == 1) run.arg = std::string(args.front());
        recorder_.append(std::move(run));
    }
    ~RecordingTransport() override {
        inner_.reset();  // the back end releases its library first, as a run without recording
        recorder_.append(Event{});
    }
    RecordingTransport(const RecordingTransport&) = delete;
    RecordingTransport& operator=(const RecordingTransport&) = delete;

    std::vector<DeviceInfo> enumerate() override { return inner_->enumerate(); }
    std::vector<DeviceInfo> converters() override { return inner_->converters(); }

    OpenResult open(std::uint16_t vendorId, std::uint16_t productId) override {
        OpenResult result = inner_->open(vendorId, productId);
        Event e;
        e.kind = Kind::Open;
        e.vendorId = vendorId;
        e.productId = productId;
        e.open = result.status == OpenStatus::Opened   ? conv::wire::OpenResult::Opened
                 : result.status == OpenStatus::Absent ? conv::wire::OpenResult::Absent
                                                       : conv::wire::OpenResult::Refused;
        e.port = result.port;
        e.node = result.node;
        recorder_.append(std::move(e));
        if (result.device)
            result.device = std::make_unique<RecordingDevice>(std::move(result.device), recorder_, vendorId, productId);
        return result;
    }

private:
    std::unique_ptr<Transport> inner_;
    Recorder recorder_;
};

}  // namespace

std::unique_ptr<Transport> makeRecordingTransport(std::unique_ptr<Transport> inner, const std::string& recordPath,
                                                  std::span<const std::string_view> args) {
    return std::make_unique<RecordingTransport>(std::move(inner), recordPath, args);
}

}  // namespace tavik::hid
