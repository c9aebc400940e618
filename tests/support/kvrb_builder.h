// Builds KVRB containers byte by byte for tests: deterministic, so a failing
// case can be rebuilt and looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace marlune::testing {

using Bytes = std::vector<std::uint8_t>;

class KvrbBuilder {
public:
    KvrbBuilder& magic(const std::string& text) {
        magic_ = text;
        return *this;
    }
    KvrbBuilder& lengthMode(std::int16_t mode) {
        lengthMode_ = mode;
        return *this;
    }
    KvrbBuilder& preamble(std::size_t bytes) {
        preamble_ = bytes;
        return *this;
    }
    // Overrides the dataOffset field; by default it is 82 + the preamble's size.
    KvrbBuilder& dataOffset(std::uint32_t offset) {
        dataOffset_ = offset;
        dataOffsetSet_ = true;
        return *this;
    }
    // A chunk whose header says `storedLength` and whose payload holds `payloadBytes` bytes.
    KvrbBuilder& chunk(std::uint16_t storedLength, std::size_t payloadBytes) {
        chunks_.push_back({storedLength, payloadBytes});
        return *this;
    }
    KvrbBuilder& chunk(std::uint16_t length) { return chunk(length, length); }

    Bytes build() const {
        Bytes out(82);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(0xA0 + i);
        for (std::size_t i = 0; i < 4; ++i) out[i] = i < magic_.size() ? static_cast<std::uint8_t>(magic_[i]) : 0;
        putU16(out, 8, static_cast<std::uint16_t>(lengthMode_));
        putU32(out, 20, dataOffsetSet_ ? dataOffset_ : static_cast<std::uint32_t>(82 + preamble_));
        for (std::size_t i = 0; i < preamble_; ++i) out.push_back(static_cast<std::uint8_t>(i * 7 + 3));
        std::uint8_t serial = 1;
        for (const Chunk& c : chunks_) {
            const std::size_t at = out.size();
            out.insert(out.end(), {serial, static_cast<std::uint8_t>(serial ^ 0x5A), 0, 0, 0xC4, 0xC5, 0xC6,
                                   serial});
            putU16(out, at + 2, c.storedLength);
            for (std::size_t i = 0; i < c.payloadBytes; ++i) {
                out.push_back(static_cast<std::uint8_t>(serial * 31 + i));
            }
            ++serial;
        }
        return out;
    }

    static void putU16(Bytes& bytes, std::size_t at, std::uint16_t value) {
        bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
        bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    static void putU32(Bytes& bytes, std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }

private:
    struct Chunk {
        std::uint16_t storedLength;
        std::size_t payloadBytes;
    };
    std::string magic_ = "KVRB";
    std::int16_t lengthMode_ = 1;
    std::size_t preamble_ = 0;
    std::uint32_t dataOffset_ = 0;
    bool dataOffsetSet_ = false;
    std::vector<Chunk> chunks_;
};

// The first `size` bytes of `bytes`.
inline Bytes prefix(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace marlune::testing
