#include "core/messages.h"

#include <string>

#include "conv/toolrun.h"

namespace tavik::messages {

std::string notFoundText(NotFound which) {
    switch (which) {
        case NotFound::Loader:
            return std::string(conv::kLoaderNotFound) + '\n';
        case NotFound::Normal:
            return std::string(conv::kNormalNotFound) + '\n';
        case NotFound::NormalLowerF:
            return std::string(conv::kNormalNotFoundLowerF) + '\n';
        case NotFound::NormalAndBlank:
            return std::string(conv::kNormalNotFound) + "\n\n";
    }
    return "";
}

void print(std::FILE* out, std::string_view text) {
    std::fprintf(out, "%.*s", static_cast<int>(text.size()), text.data());
}

void line(std::FILE* out, std::string_view text) {
    print(out, text);
    std::fputc('\n', out);
}

void bytes(std::FILE* out, const ReportBuffer& report, std::size_t count) {
    for (std::size_t i = 0; i < count && i < report.size(); ++i) std::fprintf(out, conv::kReportByteFormat, report[i]);
}

void linkLost(std::FILE* out, std::string_view stopped) {
    std::fprintf(out, "!! hid_read() failed: %.*s, %s\n", static_cast<int>(conv::kDeviceGone.size()),
                 conv::kDeviceGone.data(), std::string(stopped).c_str());
}

void writeFailed(std::FILE* out, hid::WriteFailure why) {
    std::string_view text = "the device refused the report";
    switch (why) {
        case hid::WriteFailure::Refused:
            break;
        case hid::WriteFailure::Gone:
            text = conv::kDeviceGone;
            break;
        case hid::WriteFailure::TimedOut:
            text = conv::kWriteTimedOut;
            break;
        case hid::WriteFailure::Stalled:
            text = conv::kWriteStalled;
            break;
    }
    std::fprintf(out, "%.*s%.*s\n", static_cast<int>(conv::kWriteFailedStart.size()), conv::kWriteFailedStart.data(),
                 static_cast<int>(text.size()), text.data());
}

void fileRefused(std::FILE* out, std::string_view file, std::string_view why, std::string_view failure) {
    std::fprintf(out, "!! %s refused, nothing sent: %s\n%s\n", std::string(file).c_str(), std::string(why).c_str(),
                 std::string(failure).c_str());
}

}  // namespace tavik::messages
