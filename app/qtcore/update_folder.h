#pragma once
// The record of one update or service action, in a folder of its own (quill/update_record.h):
// output.log (all the update printed), wire.jsonl (each tool run of the runner it is given
// appends itself), summary.txt (outcome, cause, versions, the converter's USB port and serial
// number, the local time with its zone, checksums, time per phase) and the
// copies of tmpa.hex and tmpb.hex that a replay needs, made from the bytes the action read. The user's home folder
// appears as "~" in output.log and summary.txt. Every write is checked: a record that could not be
// written whole (a full disk) says so on the first line of its summary and in the outcome line, and
// the update goes on as if nothing happened.
#include <QtCore/QElapsedTimer>
#include <QtCore/QStringList>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "process_runner.h"
#include "quill/bundle.h"
#include "quill/front_core.h"

namespace quill::qt {

class UpdateFolder {
public:
    // What the summary states besides the outcome.
    struct Action {
        std::string name;        // "START", "menu: Status A", ...
        std::string version;     // the bundle's version
        std::string localCksum;  // the expected A checksum
        double timeScale = 1.0;  // the scales the action runs with
        double pauseScale = 1.0;

        // The action `name` with what `core` expects and the scales it runs with.
        static Action of(std::string name, std::string version, const FrontCore& core);
    };
    // Makes the folder and points the runner's tool runs at its wire.jsonl. When that is not
    // possible it says so in one line on standard error, and the update goes on without a record.
    UpdateFolder(const BundleLayout& layout, Action action, ProcessToolRunner& runner);
    // The runner's later tool runs record no more. A record not ended by then (an error cut the
    // action short) is ended Failed, so that no summary stays "running".
    ~UpdateFolder();
    UpdateFolder(const UpdateFolder&) = delete;
    UpdateFolder& operator=(const UpdateFolder&) = delete;

    // Where the record is; empty when none is kept.
    const std::filesystem::path& folder() const { return folder_; }

    void output(std::string_view text);
    void phase(const std::string& name);
    // A firmware file as the action read it: the bytes are copied into the folder and summed for
    // the summary (the folder itself never opens the firmware files).
    void firmwareRead(const std::string& name, const std::optional<std::string>& bytes, const std::string& why);
    // The USB port the action pinned its converter to (for the summary's transport line).
    void pinned(const std::string& port) { pinned_ = port; }
    // Writes summary.txt and returns the outcome line without its program name: "Complete: CAUSE
    // (record: FOLDER)", with "; record incomplete: WHY" inside the brackets when it is not whole.
    std::string end(const std::string& outcome, const std::string& cause, const QStringList& alerts);
    // end(), its line on standard error after "Quillmere: " (`outcome`: "Complete", "Failed" or
    // "interrupted").
    void finish(const std::string& outcome, const std::string& cause, const QStringList& alerts);

private:
    void writeSummary(const std::string& outcome, const std::string& cause, const QStringList& alerts);
    // "USB port 1-1, serial number EMU-CNV-0001" as the action's listing named it, or "none chosen".
    std::string describeConverter() const;
    // Notes the first part of the record that could not be written whole.
    void cut(int error, const std::string& what);

    const BundleLayout layout_;
    const Action action_;
    ProcessToolRunner& runner_;
    std::string system_;            // the summary's first lines: program, system, Qt and hidapi
    std::string transport_;         // how tavik reaches the converter, as found at the start
    std::string pinned_;            // the USB port every run was pinned to, if any
    std::string started_;           // the local time at the start, with its zone
    std::string home_;              // written "~" in every stored text
    std::filesystem::path folder_;  // empty: nothing is recorded
    std::FILE* log_ = nullptr;
    std::size_t logBytes_ = 0;  // written to output.log so far
    std::string incomplete_;    // why the record is not whole ("no space left on device (...)"), empty while it is
    bool ended_ = false;
    QElapsedTimer clock_;
    std::vector<std::pair<std::string, qint64>> phases_;  // name, ms since the start at its entry
    std::map<std::string, std::string> firmware_;         // file name -> its summary line's text
};

}  // namespace quill::qt
