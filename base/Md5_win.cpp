// MD5 through the Windows cryptography API (CNG).
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <string>

#include "base/Error.h"
#include "base/Md5.h"

namespace flintmoor {

namespace {

void check(NTSTATUS status, const char* what) {
  if (status < 0) {
    throw Exception(std::string("MD5 failed: ") + what + " (Error: " +
                    std::to_string(static_cast<unsigned long>(status)) + ")");
  }
}

}  // namespace

std::array<uint8_t, 16> md5(std::span<const uint8_t> data) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  check(BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0),
        "BCryptOpenAlgorithmProvider");
  BCRYPT_HASH_HANDLE hash = nullptr;
  NTSTATUS status = BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
  std::array<uint8_t, 16> digest{};
  // The API takes 32-bit lengths: feed larger inputs in pieces.
  constexpr size_t kPiece = size_t{1} << 30;
  for (size_t at = 0; status >= 0 && at < data.size(); at += kPiece) {
    const size_t n = std::min(kPiece, data.size() - at);
    status = BCryptHashData(hash, const_cast<PUCHAR>(data.data() + at), static_cast<ULONG>(n), 0);
  }
  if (status >= 0) status = BCryptFinishHash(hash, digest.data(), digest.size(), 0);
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  check(status, "BCryptHashData");
  return digest;
}

}  // namespace flintmoor
