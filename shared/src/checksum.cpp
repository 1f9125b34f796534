#include "conv/checksum.h"

namespace conv {

std::uint32_t checkSum(const std::uint8_t* data, std::int32_t len) {
    std::uint32_t sum = 0;
    for (std::int32_t i = 0; i < len; ++i) sum += data[i];
    return sum;
}

}  // namespace conv
