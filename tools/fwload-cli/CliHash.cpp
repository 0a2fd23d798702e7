#include "CliHash.h"

#include <cstdio>
#include <memory>

#include "app/EncodedFile.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace {

constexpr size_t DigestSize = 32;

std::string Hex(const unsigned char* digest) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < DigestSize; ++i) {
    hex += digits[digest[i] >> 4];
    hex += digits[digest[i] & 15];
  }
  return hex;
}

// One running digest; `feed` hands it the input piece by piece.
#ifdef _WIN32
class TSha256 {
public:
  TSha256() {
    FOk = BCryptOpenAlgorithmProvider(&FAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
          BCryptCreateHash(FAlgorithm, &FHash, nullptr, 0, nullptr, 0, 0) >= 0;
  }
  ~TSha256() {
    if (FHash) BCryptDestroyHash(FHash);
    if (FAlgorithm) BCryptCloseAlgorithmProvider(FAlgorithm, 0);
  }
  bool Update(const void* data, size_t size) {
    return FOk && BCryptHashData(FHash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                 static_cast<ULONG>(size), 0) >= 0;
  }
  bool Final(unsigned char* digest) {
    return FOk && BCryptFinishHash(FHash, digest, DigestSize, 0) >= 0;
  }

private:
  BCRYPT_ALG_HANDLE FAlgorithm = nullptr;
  BCRYPT_HASH_HANDLE FHash = nullptr;
  bool FOk = false;
};
#else
class TSha256 {
public:
  TSha256() : FContext(EVP_MD_CTX_new()) {
    FOk = FContext && EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) == 1;
  }
  ~TSha256() { EVP_MD_CTX_free(FContext); }
  bool Update(const void* data, size_t size) {
    return FOk && EVP_DigestUpdate(FContext, data, size) == 1;
  }
  bool Final(unsigned char* digest) {
    unsigned int length = 0;
    return FOk && EVP_DigestFinal_ex(FContext, digest, &length) == 1 && length == DigestSize;
  }

private:
  EVP_MD_CTX* FContext;
  bool FOk = false;
};
#endif

} // namespace

bool Sha256File(const std::string& fileName, std::string& hex, uint64_t& size, std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenEncodedFile(fileName.c_str()),
                                                       &std::fclose);
  if (!file) {
    error = "not found or not a regular file";
    return false;
  }
  TSha256 sha;
  size = 0;
  unsigned char buffer[65536];
  for (;;) {
    size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    if (n && !sha.Update(buffer, n)) {
      error = "the hash could not be computed";
      return false;
    }
    size += n;
    if (n < sizeof buffer) break;
  }
  if (std::ferror(file.get())) {
    error = "read error";
    return false;
  }
  unsigned char digest[DigestSize];
  if (!sha.Final(digest)) {
    error = "the hash could not be computed";
    return false;
  }
  hex = Hex(digest);
  return true;
}

std::string Sha256Hex(const std::string& bytes) {
  TSha256 sha;
  unsigned char digest[DigestSize] = {};
  if (!sha.Update(bytes.data(), bytes.size()) || !sha.Final(digest)) return "";
  return Hex(digest);
}
