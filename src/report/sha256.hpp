// SHA-256 (FIPS 180-4) and base64, evaluated by the compiler: the report's
// Content-Security-Policy names its own script and style sheet by hash, and
// both are constants, so their hashes are constants too. Not for data: it
// is written for clarity, not speed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvane::report::detail {

using Sha256Digest = std::array<std::uint8_t, 32>;

namespace sha256_internal {

inline constexpr std::array<std::uint32_t, 64> K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Mixes one 64-byte block into the state.
constexpr void compress(std::array<std::uint32_t, 8>& h, const std::array<std::uint8_t, 64>& block) {
  std::array<std::uint32_t, 64> w{};
  for (std::size_t i = 0; i < 16; ++i) {
    w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 | static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(block[4 * i + 2]) << 8 | static_cast<std::uint32_t>(block[4 * i + 3]);
  }
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto v = h;  // a b c d e f g h
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
    const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
    const std::uint32_t t1 = v[7] + s1 + ch + K[i] + w[i];
    const std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
    const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
    const std::uint32_t t2 = s0 + maj;
    v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
  }
  for (std::size_t i = 0; i < 8; ++i) h[i] += v[i];
}

}  // namespace sha256_internal

[[nodiscard]] constexpr Sha256Digest sha256(std::string_view data) {
  std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> block{};
  std::size_t used = 0;
  const auto push = [&](std::uint8_t byte) {
    block[used++] = byte;
    if (used == 64) {
      sha256_internal::compress(h, block);
      used = 0;
    }
  };
  for (const char c : data) push(static_cast<std::uint8_t>(c));
  // Padding: 0x80, zeros up to 56 bytes into the block, the length in bits.
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  push(0x80);
  while (used != 56) push(0);
  for (int shift = 56; shift >= 0; shift -= 8) push(static_cast<std::uint8_t>(bits >> shift));

  Sha256Digest digest{};
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(h[i] >> (24 - 8 * j));
  }
  return digest;
}

// The base64 form (with padding) of a digest, as CSP hash sources write it.
struct Base64Digest {
  std::array<char, 44> chars{};
  [[nodiscard]] constexpr std::string_view view() const { return {chars.data(), chars.size()}; }
};

[[nodiscard]] constexpr Base64Digest base64(const Sha256Digest& digest) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Base64Digest out;
  std::size_t o = 0;
  for (std::size_t i = 0; i < digest.size(); i += 3) {
    const std::uint32_t b0 = digest[i];
    const std::uint32_t b1 = i + 1 < digest.size() ? digest[i + 1] : 0U;
    const std::uint32_t b2 = i + 2 < digest.size() ? digest[i + 2] : 0U;
    const std::uint32_t n = b0 << 16 | b1 << 8 | b2;
    out.chars[o++] = alphabet[n >> 18 & 63];
    out.chars[o++] = alphabet[n >> 12 & 63];
    out.chars[o++] = i + 1 < digest.size() ? alphabet[n >> 6 & 63] : '=';
    out.chars[o++] = i + 2 < digest.size() ? alphabet[n & 63] : '=';
  }
  return out;
}

}  // namespace korvane::report::detail
