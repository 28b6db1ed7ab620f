#include "velvix/platform/file_digest.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace velvix::platform {
namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::array<std::uint32_t, 64> kRoundConstants{
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::size_t kBlockBytes = 64;

constexpr std::uint32_t rotateRight(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

std::uint32_t bigEndianWord(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

// The running hash of a message fed in pieces of any length.
class Sha256 {
  public:
    void add(const unsigned char* bytes, std::size_t count) {
        length_ += count;
        while (count > 0) {
            const std::size_t taken = std::min(count, kBlockBytes - pending_);
            std::memcpy(block_.data() + pending_, bytes, taken);
            pending_ += taken;
            bytes += taken;
            count -= taken;
            if (pending_ == kBlockBytes) {
                compress(block_.data());
                pending_ = 0;
            }
        }
    }

    // Pads the message with a one bit, zeros and its length in bits, and gives the digest.
    std::string finish() {
        const std::uint64_t bits = length_ * 8;
        const unsigned char one = 0x80;
        add(&one, 1);
        const unsigned char zero = 0;
        while (pending_ != kBlockBytes - 8) {
            add(&zero, 1);
        }
        for (int shift = 56; shift >= 0; shift -= 8) {
            const auto byte = static_cast<unsigned char>(bits >> shift);
            add(&byte, 1);
        }
        std::string hex;
        for (const std::uint32_t word : state_) {
            char digits[9];
            std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(word));
            hex += digits;
        }
        return hex;
    }

  private:
    void compress(const unsigned char* block) {
        std::array<std::uint32_t, 64> schedule{};
        for (std::size_t i = 0; i < 16; ++i) {
            schedule[i] = bigEndianWord(block + 4 * i);
        }
        for (std::size_t i = 16; i < 64; ++i) {
            const std::uint32_t w15 = schedule[i - 15];
            const std::uint32_t w2 = schedule[i - 2];
            const std::uint32_t sigma0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
            const std::uint32_t sigma1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
            schedule[i] = schedule[i - 16] + sigma0 + schedule[i - 7] + sigma1;
        }
        auto [a, b, c, d, e, f, g, h] = state_;
        for (std::size_t i = 0; i < 64; ++i) {
            const std::uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            const std::uint32_t choice = (e & f) ^ (~e & g);
            const std::uint32_t first = h + sum1 + choice + kRoundConstants[i] + schedule[i];
            const std::uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t second = sum0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + first;
            d = c;
            c = b;
            b = a;
            a = first + second;
        }
        const std::array<std::uint32_t, 8> added{a, b, c, d, e, f, g, h};
        for (std::size_t i = 0; i < state_.size(); ++i) {
            state_[i] += added[i];
        }
    }

    // The first 32 bits of the fractional parts of the square roots of the first 8 primes.
    std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, kBlockBytes> block_{};
    std::size_t pending_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.add(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hash.finish();
}

Result<std::string> fileSha256(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Failure{"cannot be opened"};
    }
    Sha256 hash;
    std::array<char, 65536> piece{};
    while (file.read(piece.data(), piece.size()) || file.gcount() > 0) {
        hash.add(reinterpret_cast<const unsigned char*>(piece.data()),
                 static_cast<std::size_t>(file.gcount()));
    }
    if (file.bad()) {
        return Failure{"cannot be read"};
    }
    return hash.finish();
}

}  // namespace velvix::platform
