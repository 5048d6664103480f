// Compile-time check that a 64-byte X‖Y value is a point on the NIST P-256
// curve. The build refuses a verification key that is not one, so a typo in
// the configured key fails the build instead of every installation.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tessaline {

// 256-bit unsigned integer, four 64-bit limbs, least significant first.
using U256 = std::array<std::uint64_t, 4>;

namespace p256_detail {

constexpr bool Less(const U256& a, const U256& b) {
  for (int i = 3; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

// a + b, returning the carry out of the top limb.
constexpr std::uint64_t Add(U256& r, const U256& a, const U256& b) {
  std::uint64_t carry = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t s = a[i] + carry;
    const std::uint64_t c1 = s < carry ? 1 : 0;
    r[i] = s + b[i];
    carry = c1 + (r[i] < s ? 1 : 0);
  }
  return carry;
}

constexpr void Sub(U256& r, const U256& a, const U256& b) {
  std::uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t d = a[i] - b[i];
    const std::uint64_t b1 = a[i] < b[i] ? 1 : 0;
    r[i] = d - borrow;
    borrow = b1 + (d < borrow ? 1 : 0);
  }
}

// (a + b) mod m for a, b < m.
constexpr U256 AddMod(const U256& a, const U256& b, const U256& m) {
  U256 r{};
  const std::uint64_t carry = Add(r, a, b);
  if (carry != 0 || !Less(r, m)) Sub(r, r, m);
  return r;
}

// (a * b) mod m for a, b < m, by double-and-add over the bits of b.
constexpr U256 MulMod(const U256& a, const U256& b, const U256& m) {
  U256 r{};
  for (int bit = 255; bit >= 0; --bit) {
    r = AddMod(r, r, m);
    if ((b[bit / 64] >> (bit % 64)) & 1U) r = AddMod(r, a, m);
  }
  return r;
}

constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace p256_detail

inline constexpr U256 kP256Prime = {0xFFFFFFFFFFFFFFFFULL, 0x00000000FFFFFFFFULL,
                                    0x0000000000000000ULL, 0xFFFFFFFF00000001ULL};
inline constexpr U256 kP256B = {0x3BCE3C3E27D2604BULL, 0x651D06B0CC53B0F6ULL,
                                0xB3EBBD55769886BCULL, 0x5AC635D8AA3A93E7ULL};

// Reads 64 hexadecimal digits, most significant first. Returns false on any
// other length or character.
constexpr bool ParseU256Hex(std::string_view hex, U256& out) {
  if (hex.size() != 64) return false;
  out = U256{};
  for (std::size_t i = 0; i < 64; ++i) {
    const int v = p256_detail::HexValue(hex[i]);
    if (v < 0) return false;
    const std::size_t nibble = 63 - i;  // position from the least significant end
    out[nibble / 16] |= static_cast<std::uint64_t>(v) << (4 * (nibble % 16));
  }
  return true;
}

// True when (x, y) satisfies y^2 = x^3 - 3x + b over the P-256 field.
constexpr bool IsP256Point(const U256& x, const U256& y) {
  using namespace p256_detail;
  const U256& p = kP256Prime;
  if (!Less(x, p) || !Less(y, p)) return false;
  const U256 three = {3, 0, 0, 0};
  U256 minusThree{};
  Sub(minusThree, p, three);
  const U256 x3 = MulMod(MulMod(x, x, p), x, p);
  const U256 rhs = AddMod(AddMod(x3, MulMod(minusThree, x, p), p), kP256B, p);
  return MulMod(y, y, p) == rhs;
}

// The configured key form: 128 hexadecimal digits, X then Y, big-endian.
constexpr bool IsP256PublicKeyHex(std::string_view hex) {
  U256 x{};
  U256 y{};
  if (hex.size() != 128) return false;
  return ParseU256Hex(hex.substr(0, 64), x) && ParseU256Hex(hex.substr(64), y) && IsP256Point(x, y);
}

}  // namespace tessaline
