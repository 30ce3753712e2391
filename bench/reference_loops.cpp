#include "bench/reference_loops.h"

#include "platform/handles.h"
#include "platform/sha256.h"
#include "platform/whole_file.h"

#include <bcrypt.h>

#include <algorithm>

namespace {

constexpr DWORD HashBlockSize = 1 << 20;
constexpr DWORD HttpReadSize = 64 * 1024;
constexpr DWORD HttpStatusOk = 200;
constexpr ULONG Sha256Length = 32;
constexpr uint64_t CheckProgressEnd = 300;
constexpr uint64_t DownloadProgressStart = 300;
constexpr uint64_t DownloadProgressSpan = 700;

UniqueAlgorithm OpenSha256()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return nullptr;
    return UniqueAlgorithm(algorithm);
}

UniqueHash CreateHash(BCRYPT_ALG_HANDLE algorithm)
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!algorithm || !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return nullptr;
    return UniqueHash(hash);
}

// "" when the hash fails.
std::string FinishHex(BCRYPT_HASH_HANDLE hash)
{
    unsigned char digest[Sha256Length] = {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, Sha256Length, 0)))
        return std::string();
    return ToLowerHex(digest, Sha256Length);
}

std::string ReadAndHash(BCRYPT_ALG_HANDLE algorithm, const std::wstring& path, std::vector<unsigned char>& block)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    const UniqueHash hash = CreateHash(algorithm);
    if (!file || !hash)
        return std::string();
    for (;;) {
        DWORD bytesRead = 0;
        if (!ReadFile(file.get(), block.data(), HashBlockSize, &bytesRead, nullptr))
            return std::string();
        if (bytesRead == 0)
            return FinishHex(hash.get());
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), block.data(), bytesRead, 0)))
            return std::string();
    }
}

bool IsStatusOk(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
           status == HttpStatusOk;
}

UniqueInternet OpenOkRequest(HINTERNET connection, const std::wstring& urlPath)
{
    UniqueInternet request(WinHttpOpenRequest(connection, L"GET", urlPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr) || !IsStatusOk(request.get()))
        return nullptr;
    return request;
}

struct BodyJob {
    HANDLE file;
    BCRYPT_HASH_HANDLE hash;  // null unless hashing
    HWND window;              // null unless posting
    UINT message;
    uint64_t doneBefore;      // bytes of the bodies before this one, for the posted progress
    uint64_t total;
};

// The body's byte count, or -1.
long long Fetch(HINTERNET connection, const std::wstring& urlPath, const BodyJob& job, std::vector<char>& buffer)
{
    const UniqueInternet request = OpenOkRequest(connection, urlPath);
    if (!request)
        return -1;
    long long received = 0;
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), HttpReadSize, &count))
            return -1;
        if (count == 0)
            return received;
        DWORD written = 0;
        if (!WriteFile(job.file, buffer.data(), count, &written, nullptr) || written != count)
            return -1;
        if (job.hash && !BCRYPT_SUCCESS(BCryptHashData(job.hash, reinterpret_cast<PUCHAR>(buffer.data()), count, 0)))
            return -1;
        received += count;
        if (job.window) {
            const uint64_t share = (job.doneBefore + received) * DownloadProgressSpan / job.total;
            PostMessageW(job.window, job.message, static_cast<WPARAM>(DownloadProgressStart + share), 0);
        }
    }
}

// The launcher's own flush and move, as plain calls.
bool FlushAndMoveOver(UniqueFile& file, const std::wstring& temporaryPath, const std::wstring& path)
{
    const bool flushed = FlushFileBuffers(file.get()) != FALSE;
    file.Close();
    return flushed && MoveFileExW(temporaryPath.c_str(), path.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
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

size_t QueryAttributesAndPostLoop(const std::vector<std::wstring>& paths, HWND window, UINT message,
                                  Posting posting)
{
    const uint64_t count = paths.size();
    uint64_t posted = UINT64_MAX;
    size_t answered = 0;
    for (uint64_t index = 0; index < count; ++index) {
        const uint64_t value = CheckProgressEnd * (index + 1) / count;
        if (posting == Posting::EveryValue || value != posted)
            PostMessageW(window, message, static_cast<WPARAM>(value), 0);
        posted = value;
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        answered += GetFileAttributesExW(paths[index].c_str(), GetFileExInfoStandard, &attributes) ? 1 : 0;
    }
    return answered;
}

std::vector<std::string> ReadAndHashLoop(const std::vector<std::wstring>& paths)
{
    std::vector<std::string> digests(paths.size());
    const UniqueAlgorithm algorithm = OpenSha256();
    std::vector<unsigned char> block(HashBlockSize);
    for (size_t i = 0; algorithm && i < paths.size(); ++i)
        digests[i] = ReadAndHash(algorithm.get(), paths[i], block);
    return digests;
}

bool HashInMemory(uint64_t byteCount)
{
    const UniqueAlgorithm algorithm = OpenSha256();
    const UniqueHash hash = CreateHash(algorithm.get());
    if (!hash)
        return false;
    std::vector<unsigned char> block(HashBlockSize, 0x5A);
    for (uint64_t done = 0; done < byteCount; done += HashBlockSize) {
        const auto size = static_cast<ULONG>(std::min<uint64_t>(HashBlockSize, byteCount - done));
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), block.data(), size, 0)))
            return false;
    }
    return !FinishHex(hash.get()).empty();
}

std::vector<long long> WinHttpLoop(const WinHttpLoopTarget& target, const std::vector<std::wstring>& urlPaths,
                                   const std::vector<std::wstring>& files, const std::vector<std::string>& digests,
                                   BodyHandling handling)
{
    std::vector<long long> sizes(urlPaths.size(), -1);
    const UniqueInternet session(WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
    const UniqueInternet connection(session ? WinHttpConnect(session.get(), target.host.c_str(), target.port, 0)
                                            : nullptr);
    const UniqueAlgorithm algorithm = OpenSha256();
    if (!connection || !algorithm)
        return sizes;
    const bool hashing = handling != BodyHandling::Write;
    const bool replacing = handling == BodyHandling::WriteHashPostAndReplace;
    const HWND window = handling == BodyHandling::WriteHashAndPost || replacing ? target.window : nullptr;
    std::vector<char> buffer(HttpReadSize);
    uint64_t done = 0;
    for (size_t i = 0; i < urlPaths.size(); ++i) {
        const std::wstring written = replacing ? files[i] + TemporaryFileSuffix : files[i];
        UniqueFile file(CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        const UniqueHash hash = hashing ? CreateHash(algorithm.get()) : nullptr;
        if (!file || (hashing && !hash))
            continue;
        const BodyJob job{file.get(), hash.get(), window, target.message, done, target.totalBytes};
        sizes[i] = Fetch(connection.get(), urlPaths[i], job, buffer);
        if (hashing && FinishHex(hash.get()) != digests[i])
            sizes[i] = -1;
        if (replacing && sizes[i] >= 0 && !FlushAndMoveOver(file, written, files[i]))
            sizes[i] = -1;
        done += static_cast<uint64_t>(std::max(sizes[i], 0LL));
    }
    return sizes;
}
