#include "update/manifest_signature.h"

#include "manifest_public_key.h"
#include "platform/handles.h"
#include "platform/sha256.h"
#include "platform/system_library.h"

#include <climits>
#include <cstring>
#include <string_view>

namespace {

constexpr char PublicKeys[] = LAUNCHER_MANIFEST_PUBLIC_KEYS;
constexpr size_t PublicKeysLength = sizeof(PublicKeys) - 1;
constexpr ULONG CoordinateLength = 32;
constexpr ULONG PointLength = 2 * CoordinateLength;      // X then Y
constexpr ULONG SignatureLength = 2 * CoordinateLength;  // r then s
constexpr std::string_view SignaturePrefix = "#signature ";
static_assert(PublicKeysLength % PointLength == 0, "P-256 points, each X then Y");

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 with its padding; anything else (blanks, line breaks, a stray "=") is refused.
bool DecodeBase64(std::string_view text, std::string& bytes)
{
    if (text.size() % 4 != 0)
        return false;
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    bytes.clear();
    unsigned bits = 0;
    int bitCount = 0;
    for (const char c : text.substr(0, text.size() - padding)) {
        const int value = Base64Value(c);
        if (value < 0)
            return false;
        bits = ((bits << 6) | static_cast<unsigned>(value)) & 0xFFFF;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes += static_cast<char>((bits >> bitCount) & 0xFF);
        }
    }
    return true;
}

// The last line, ended by "\n", "\r\n" or the end of the text, must be the signature; what comes
// before it is what was signed.
bool SplitSignature(const std::string& text, std::string_view& signedPart, std::string& signature)
{
    std::string_view rest(text);
    if (!rest.empty() && rest.back() == '\n')
        rest.remove_suffix(1);
    if (!rest.empty() && rest.back() == '\r')
        rest.remove_suffix(1);
    const size_t lineStart = rest.rfind('\n') + 1;  // 0 when the signature is the only line
    const std::string_view line = rest.substr(lineStart);
    if (line.substr(0, SignaturePrefix.size()) != SignaturePrefix)
        return false;
    signedPart = rest.substr(0, lineStart);
    return DecodeBase64(line.substr(SignaturePrefix.size()), signature) && signature.size() == SignatureLength;
}

PUCHAR Bytes(std::string& data)
{
    return reinterpret_cast<PUCHAR>(data.data());
}

// Whether the key of one point, X then Y, made the signature of the digest.
bool SignedByKey(BCRYPT_ALG_HANDLE algorithm, const char* point, std::string& digest, std::string& signature)
{
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, CoordinateLength};
    std::string blob(sizeof(header), '\0');
    std::memcpy(blob.data(), &header, sizeof(header));
    blob.append(point, PointLength);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, Bytes(blob),
                                            static_cast<ULONG>(blob.size()), 0)))
        return false;
    const UniqueKey ownedKey(key);
    return BCRYPT_SUCCESS(
        BCryptVerifySignature(key, nullptr, Bytes(digest), Sha256Length, Bytes(signature), SignatureLength, 0));
}

bool SignedByABuiltInKey(std::string_view signedPart, std::string signature)
{
    if (!LoadCng() || signedPart.size() > ULONG_MAX)
        return false;
    Sha256 hash;
    hash.Update(signedPart.data(), static_cast<unsigned long>(signedPart.size()));
    std::string digest = hash.FinishBytes();
    if (digest.size() != Sha256Length)
        return false;

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    const UniqueAlgorithm ownedAlgorithm(algorithm);
    for (size_t offset = 0; offset < PublicKeysLength; offset += PointLength) {
        if (SignedByKey(algorithm, PublicKeys + offset, digest, signature))
            return true;
    }
    return false;
}

}  // namespace

bool ManifestIsAuthentic(const std::string& text)
{
    if (PublicKeysLength == 0)
        return true;
    std::string_view signedPart;
    std::string signature;
    return SplitSignature(text, signedPart, signature) && SignedByABuiltInKey(signedPart, signature);
}
