#include "core/messages.h"

#include <string>

namespace tavik::messages {

const char* notFoundText(NotFound which) {
    switch (which) {
        case NotFound::Loader: return "LDROM NOT FOUND\n";
        case NotFound::Normal: return "0E7B/1CF? NOT FOUND\n";
        case NotFound::NormalLowerF: return "0E7B/1Cf? NOT FOUND\n";
        case NotFound::NormalAndBlank: return "0E7B/1CF? NOT FOUND\n\n";
    }
    return "";
}

void linkLost(std::FILE* out, std::string_view stopped) {
    std::fprintf(out, "!! hid_read() failed: the device is gone (unplugged or re-enumerated), %s\n",
                 std::string(stopped).c_str());
}

void fileRefused(std::FILE* out, std::string_view file, std::string_view why, std::string_view failure) {
    std::fprintf(out, "!! %s refused, nothing sent: %s\n%s\n", std::string(file).c_str(), std::string(why).c_str(),
                 std::string(failure).c_str());
}

}  // namespace tavik::messages
