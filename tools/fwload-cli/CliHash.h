// SHA-256 of a file's bytes, by the system's library: libcrypto on Linux, BCrypt on Windows.
#pragma once

#include <cstdint>
#include <string>

// Lower-case hex of the file's SHA-256 and its size in bytes; false with `error` set when the
// file cannot be opened or read (OpenEncodedFile's rules: a regular file only).
bool Sha256File(const std::string& fileName, std::string& hex, uint64_t& size, std::string& error);
// Lower-case hex of the SHA-256 of `bytes` (for the tests and short texts).
std::string Sha256Hex(const std::string& bytes);
