#include "bench/reference_loops.h"

#include "platform/handles.h"

#include <bcrypt.h>

#include <algorithm>

namespace {

constexpr DWORD HashBlockSize = 1 << 20;
constexpr DWORD HttpReadSize = 64 * 1024;
constexpr DWORD HttpStatusOk = 200;
constexpr ULONG Sha256Length = 32;

std::string LowerHex(const unsigned char* bytes, size_t count)
{
    static const char HexDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += HexDigits[bytes[i] >> 4];
        text += HexDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string ReadAndHash(BCRYPT_ALG_HANDLE algorithm, const std::wstring& path, std::vector<unsigned char>& block)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!file || !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &rawHash, nullptr, 0, nullptr, 0, 0)))
        return std::string();
    const UniqueHash hash(rawHash);
    for (;;) {
        DWORD bytesRead = 0;
        if (!ReadFile(file.get(), block.data(), HashBlockSize, &bytesRead, nullptr))
            return std::string();
        if (bytesRead == 0)
            break;
        if (!BCRYPT_SUCCESS(BCryptHashData(rawHash, block.data(), bytesRead, 0)))
            return std::string();
    }
    unsigned char digest[Sha256Length] = {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(rawHash, digest, Sha256Length, 0)))
        return std::string();
    return LowerHex(digest, Sha256Length);
}

UniqueAlgorithm OpenSha256()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return nullptr;
    return UniqueAlgorithm(algorithm);
}

bool IsStatusOk(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
           status == HttpStatusOk;
}

long long FetchInto(HINTERNET connection, const std::wstring& urlPath, HANDLE file, std::vector<char>& buffer)
{
    const UniqueInternet request(WinHttpOpenRequest(connection, L"GET", urlPath.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    WINHTTP_FLAG_SECURE));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr) || !IsStatusOk(request.get()))
        return -1;
    long long received = 0;
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), HttpReadSize, &count))
            return -1;
        if (count == 0)
            return received;
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE && (!WriteFile(file, buffer.data(), count, &written, nullptr) || written != count))
            return -1;
        received += count;
    }
}

}  // namespace

size_t QueryAttributesLoop(const std::vector<std::wstring>& paths)
{
    size_t answered = 0;
    for (const std::wstring& path : paths) {
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        answered += GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) ? 1 : 0;
    }
    return answered;
}

size_t QueryAttributesAndPostLoop(const std::vector<std::wstring>& paths, HWND window, UINT message)
{
    size_t answered = 0;
    for (const std::wstring& path : paths) {
        PostMessageW(window, message, 0, 0);
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        answered += GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) ? 1 : 0;
    }
    return answered;
}

std::vector<std::string> ReadAndHashLoop(const std::vector<std::wstring>& paths)
{
    std::vector<std::string> digests(paths.size());
    const UniqueAlgorithm algorithm = OpenSha256();
    if (!algorithm)
        return digests;
    std::vector<unsigned char> block(HashBlockSize);
    for (size_t i = 0; i < paths.size(); ++i)
        digests[i] = ReadAndHash(algorithm.get(), paths[i], block);
    return digests;
}

bool HashInMemory(uint64_t byteCount)
{
    const UniqueAlgorithm algorithm = OpenSha256();
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!algorithm || !BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, nullptr, 0, 0)))
        return false;
    const UniqueHash hash(rawHash);
    std::vector<unsigned char> block(HashBlockSize, 0x5A);
    for (uint64_t done = 0; done < byteCount; done += HashBlockSize) {
        const auto size = static_cast<ULONG>(std::min<uint64_t>(HashBlockSize, byteCount - done));
        if (!BCRYPT_SUCCESS(BCryptHashData(rawHash, block.data(), size, 0)))
            return false;
    }
    unsigned char digest[Sha256Length] = {};
    return BCRYPT_SUCCESS(BCryptFinishHash(rawHash, digest, Sha256Length, 0));
}

std::vector<long long> WinHttpLoop(const std::wstring& host, INTERNET_PORT port,
                                   const std::vector<std::wstring>& urlPaths, const std::vector<std::wstring>& files)
{
    std::vector<long long> sizes(urlPaths.size(), -1);
    const UniqueInternet session(WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
    const UniqueInternet connection(session ? WinHttpConnect(session.get(), host.c_str(), port, 0) : nullptr);
    if (!connection)
        return sizes;
    std::vector<char> buffer(HttpReadSize);
    for (size_t i = 0; i < urlPaths.size(); ++i) {
        const bool keep = !files.empty();
        const UniqueFile file(keep ? CreateFileW(files[i].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr)
                                   : INVALID_HANDLE_VALUE);
        if (!keep || file)
            sizes[i] = FetchInto(connection.get(), urlPaths[i], file.get(), buffer);
    }
    return sizes;
}
