#pragma once
// Reading a whole-file transfer's firmware file, before any device is opened.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "conv/hexfile.h"
#include "core/commands.h"
#include "core/messages.h"

namespace tavik {

template <typename Gathered>
struct FirmwareFile {
    FileState state = FileState::Missing;
    Gathered gathered;
    std::size_t size = 0;  // bytes in the file
};

// Reads the file at `path` and gathers it with `gather`. A missing file is left for the transfer
// to report once its device is open; one that cannot be read or gathered is refused here: why,
// naming the file as `name`, then `failure` on the line after.
template <typename Gathered>
FirmwareFile<Gathered> gatherFirmwareFile(Session& s, const std::string& path, std::string_view name,
                                          std::string_view failure,
                                          Gathered (*gather)(const std::vector<std::string>&)) {
    FirmwareFile<Gathered> file;
    const conv::FileBytes read = conv::readFirmwareFile(path);
    if (read.status == conv::FileBytes::Status::Missing) return file;
    file.gathered = read.status == conv::FileBytes::Status::Read ? gather(conv::splitHexLines(read.bytes))
                                                                 : Gathered{{}, conv::HexError{0, read.why}};
    if (!file.gathered.ok()) {
        messages::fileRefused(s.out(), name, file.gathered.error->message(), failure);
        file.state = FileState::Refused;
        return file;
    }
    file.state = FileState::Ready;
    file.size = read.bytes.size();
    return file;
}

}  // namespace tavik
