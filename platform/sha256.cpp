#include "platform/sha256.h"

#include "platform/system_library.h"
#include "platform/text.h"

std::string ToLowerHex(const unsigned char* bytes, size_t count)
{
    static const char HexDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += HexDigits[bytes[i] >> 4];
        text += HexDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool MatchesListedDigest(const std::string& computed, const std::string& listed)
{
    return !computed.empty() && EqualsIgnoringAsciiCase(computed, listed);
}

Sha256::Sha256()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    failed_ = !LoadCng() ||
              !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    algorithm_.reset(algorithm);
    if (!failed_)
        failed_ = !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    hash_.reset(hash);
}

void Sha256::Update(const void* data, unsigned long size)
{
    if (failed_ || size == 0)
        return;
    auto bytes = static_cast<PUCHAR>(const_cast<void*>(data));  // CNG never writes the input
    failed_ = !BCRYPT_SUCCESS(BCryptHashData(hash_.get(), bytes, size, 0));
}

std::string Sha256::Finish()
{
    const std::string digest = FinishBytes();
    return ToLowerHex(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
}

std::string Sha256::FinishBytes()
{
    std::string digest(Sha256Length, '\0');
    if (failed_ ||
        !BCRYPT_SUCCESS(BCryptFinishHash(hash_.get(), reinterpret_cast<PUCHAR>(digest.data()), Sha256Length, 0)))
        return std::string();
    failed_ = true;  // a finished CNG hash takes no more data
    return digest;
}
