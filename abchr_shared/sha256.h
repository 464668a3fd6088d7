// SHA-256 (FIPS 180-4) of served files, so that a listener's results can be
// tied to the exact stimuli they heard: a result that names another folder's
// files, or an older version of a song, has other hashes.
#pragma once

#include <cstddef>
#include <string>

// The digest of `size` bytes at `data`, as 64 lowercase hexadecimal digits.
std::string sha256_hex(const void* data, std::size_t size);

// The digest of a whole file. Returns false with the system's reason in
// `error` when the file cannot be read.
bool sha256_file_hex(const std::string& path, std::string& hex, int& error);
