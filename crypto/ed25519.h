// Ed25519 signature verification, RFC 8032 section 5.1.7.
#pragma once

#include <cstddef>
#include <cstdint>

namespace asn1 {
// A byte range passed as begin/end.
struct blob {
  const uint8_t* begin;
  const uint8_t* end;
  size_t size() const { return size_t(end - begin); }
};
}  // namespace asn1

namespace eddsa {

inline constexpr size_t PUBLIC_KEY_SIZE = 32;
inline constexpr size_t SIGNATURE_SIZE = 64;

// Valid when [S]B = R + [k]A with k = SHA-512(R || A || message) mod L, no
// cofactor. A signature that is not 64 bytes, an S of L or more, or an R or A
// that does not decode is rejected.
bool verify(asn1::blob publicKey, asn1::blob message, asn1::blob signature);

}  // namespace eddsa
