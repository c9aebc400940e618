#include <openssl/evp.h>

#include "platform/sha256.h"

namespace marlune::platform {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() {
    auto state = std::make_unique<State>();
    state->context = EVP_MD_CTX_new();
    if (state->context && EVP_DigestInit_ex(state->context, EVP_sha256(), nullptr) == 1) state_ = std::move(state);
}

Sha256::~Sha256() = default;

bool Sha256::update(const void* bytes, std::size_t size) {
    return state_ && (size == 0 || EVP_DigestUpdate(state_->context, bytes, size) == 1);
}

bool Sha256::finish(Digest& digest) {
    unsigned int length = 0;
    if (!state_ || EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
        return false;
    }
    return EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

}  // namespace marlune::platform
