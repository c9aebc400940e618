#include "platform/sha256.h"

namespace marlune::platform {

std::string hexOf(const Sha256::Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

}  // namespace marlune::platform
