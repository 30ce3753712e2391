#pragma once

#include "platform/handles.h"

#include <cstddef>
#include <string>

// Two lowercase hexadecimal digits per byte: the form of every digest the launcher compares.
std::string ToLowerHex(const unsigned char* bytes, size_t count);

// Incremental SHA-256 over CNG. Any failure of the hashing service makes Finish return empty.
class Sha256 {
public:
    Sha256();
    void Update(const void* data, unsigned long size);
    // 64 lowercase hexadecimal digits, or empty when any step failed.
    std::string Finish();
    // The 32 bytes of the digest, or empty when any step failed.
    std::string FinishBytes();

private:
    UniqueAlgorithm algorithm_;
    UniqueHash hash_;
    bool failed_ = false;
};
