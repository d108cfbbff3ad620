#pragma once

#include <cstdint>
#include <span>

namespace veltrane {

// The Blowfish block cipher: 64-bit blocks, 16 rounds, keys of 1 to 56 bytes.
// A block of 8 bytes is read as two big-endian 32-bit halves (bytes 0..3 the
// left half), the byte order of the published test vectors.
class Blowfish
{
public:
    // The state holds the initial constants (the hexadecimal digits of pi)
    // until SetKey mixes a key into it.
    Blowfish();

    // Runs the key schedule. A key that is empty or longer than 56 bytes is
    // refused and leaves the state as it was.
    [[nodiscard]] bool SetKey(std::span<const std::uint8_t> key);

    void EncryptBlock(std::uint32_t& left, std::uint32_t& right) const;
    void DecryptBlock(std::uint32_t& left, std::uint32_t& right) const;

    // In place, on 8 bytes.
    void EncryptBlock(std::uint8_t* block) const;
    void DecryptBlock(std::uint8_t* block) const;

    static constexpr std::size_t kBlockSize = 8;
    static constexpr std::size_t kMaxKeySize = 56;

private:
    std::uint32_t F(std::uint32_t x) const;

    std::uint32_t p_[18];
    std::uint32_t s_[4][256];
};

} // namespace veltrane
