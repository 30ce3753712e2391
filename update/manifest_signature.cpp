#include "update/manifest_signature.h"

#include "manifest_public_key.h"
#include "platform/handles.h"
#include "platform/sha256.h"
#include "platform/system_library.h"

#include <climits>
#include <cstring>
#include <string_view>

namespace {

constexpr char PublicKey[] = LAUNCHER_MANIFEST_PUBLIC_KEY;
constexpr size_t PublicKeyLength = sizeof(PublicKey) - 1;
constexpr ULONG CoordinateLength = 32;
constexpr ULONG SignatureLength = 2 * CoordinateLength;  // r then s
constexpr std::string_view SignaturePrefix = "#signature ";
static_assert(PublicKeyLength == 0 || PublicKeyLength == 2 * CoordinateLength, "a P-256 point: X then Y");

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

bool SignedByBuiltInKey(std::string_view signedPart, std::string signature)
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
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, CoordinateLength};
    std::string blob(sizeof(header), '\0');
    std::memcpy(blob.data(), &header, sizeof(header));
    blob.append(PublicKey, PublicKeyLength);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, Bytes(blob),
                                            static_cast<ULONG>(blob.size()), 0)))
        return false;
    const UniqueKey ownedKey(key);
    return BCRYPT_SUCCESS(
        BCryptVerifySignature(key, nullptr, Bytes(digest), Sha256Length, Bytes(signature), SignatureLength, 0));
}

}  // namespace

bool ManifestIsAuthentic(const std::string& text)
{
    if (PublicKeyLength == 0)
        return true;
    std::string_view signedPart;
    std::string signature;
    return SplitSignature(text, signedPart, signature) && SignedByBuiltInKey(signedPart, signature);
}
