#pragma once

#include "platform/handles.h"

#include <cstddef>
#include <string>

constexpr unsigned long Sha256Length = 32;  // bytes of a digest

// Two lowercase hexadecimal digits per byte: the form of every digest the launcher compares.
std::string ToLowerHex(const unsigned char* bytes, size_t count);

// Incremental SHA-256 over CNG. Any failure of the hashing service makes Finish return empty.
// Whether a computed digest is the one a manifest lists: letter case is ignored, as hashing tools print
// either, and an empty digest (a failed hash) matches nothing.
bool MatchesListedDigest(const std::string& computed, const std::string& listed);

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
