// SHA-256 from the system's maintained implementation: libcrypto on POSIX, CNG
// (BCrypt) on Windows. One object hashes one stream of bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace marlune::platform {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False when the system could not make a hash (no memory): every later call fails too.
    bool ok() const { return state_ != nullptr; }
    bool update(const void* bytes, std::size_t size);
    // The digest of everything given since the start (or the last finish), and starts again.
    bool finish(Digest& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The digest as 64 lower-case hex digits.
std::string hexOf(const Sha256::Digest& digest);

}  // namespace marlune::platform
