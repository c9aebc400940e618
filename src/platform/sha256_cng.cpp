#include <windows.h>
// bcrypt.h needs the types windows.h declares.
#include <bcrypt.h>

#include "platform/sha256.h"

namespace marlune::platform {
namespace {
bool succeeded(NTSTATUS status) {
    return status >= 0;
}
}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    bool begin() {
        if (hash) BCryptDestroyHash(hash);
        hash = nullptr;
        return succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    }
};

Sha256::Sha256() {
    auto state = std::make_unique<State>();
    if (succeeded(BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        state->begin()) {
        state_ = std::move(state);
    }
}

Sha256::~Sha256() = default;

bool Sha256::update(const void* bytes, std::size_t size) {
    if (!state_ || !state_->hash) return false;
    const auto* at = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(at), piece, 0))) return false;
        at += piece;
        size -= piece;
    }
    return true;
}

bool Sha256::finish(Digest& digest) {
    if (!state_ || !state_->hash) return false;
    const bool done = succeeded(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    return state_->begin() && done;
}

}  // namespace marlune::platform
