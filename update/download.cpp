#include "update/download.h"

#include "app/installation.h"
#include "app/launcher_state.h"
#include "app/worker_messages.h"
#include "platform/file_state.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/whole_file.h"
#include "update/former_files.h"
#include "update/launcher_replacement.h"

#include <cwchar>

namespace {

constexpr uint64_t DownloadProgressStart = 300;
constexpr uint64_t DownloadProgressSpan = 700;
constexpr size_t HeadingBufferLength = 256;

struct Progress {
    uint64_t total = 0;
    uint64_t done = 0;  // manifest sizes of the files finished so far
};

std::wstring DownloadHeading(int fileNumber, int fileCount)
{
    wchar_t heading[HeadingBufferLength] = {};
    swprintf(heading, HeadingBufferLength, L"Baixando %d de %d", fileNumber, fileCount);
    return heading;
}

void PostFileProgress(const Progress& progress, uint64_t received)
{
    if (progress.total == 0)
        return;
    const uint64_t share = (progress.done + received) * DownloadProgressSpan / progress.total;
    PostProgress(static_cast<int>(DownloadProgressStart + static_cast<uint32_t>(share)));
}

// Streams the body into `file`; true only when exactly `entry.size` bytes arrived, all were
// written, and their SHA-256 is the manifest's digest.
bool ReceiveVerified(const ManifestEntry& entry, const std::wstring& urlPath, HANDLE file, HttpClient& client,
                     const Progress& progress)
{
    Sha256 hash;
    uint64_t received = 0;
    const bool streamed = client.Stream(urlPath, [&](const char* data, DWORD size) {
        DWORD written = 0;
        if (!WriteFile(file, data, size, &written, nullptr) || written != size)
            return false;
        hash.Update(data, size);
        received += size;
        PostFileProgress(progress, received);
        return received <= entry.size;  // a longer body is wrong already: stop filling the disk
    });
    const std::string digest = hash.Finish();
    return streamed && received == entry.size && MatchesListedDigest(digest, entry.hash);
}

bool MoveOverTarget(const std::wstring& temporaryPath, const std::wstring& targetPath)
{
    ClearReadOnly(targetPath);
    if (SamePathIgnoringAsciiCase(targetPath, InstalledLauncherPath()))
        return ReplaceInstalledLauncher(temporaryPath, targetPath);
    return MoveIntoPlace(temporaryPath, targetPath);
}

// Brings one file up to date; false when it failed (nothing then replaced or recorded).
bool DownloadOne(const ManifestEntry& entry, int fileNumber, int fileCount, HttpClient& client,
                 LauncherCache& cache, FormerFiles& formerFiles, const Progress& progress)
{
    // Checked before anything touches the disk: such a path could leave the install directory.
    if (!IsSafeRelativePath(entry.path) || !formerFiles.ClearWayFor(entry.path))
        return false;
    const std::wstring targetPath = LocalPathFor(entry.path);
    CreateParentDirectories(targetPath);
    const std::wstring temporaryPath = targetPath + TemporaryFileSuffix;
    UniqueFile file = CreateTemporaryFile(temporaryPath);
    if (!file)
        return false;

    PostStatus(DownloadHeading(fileNumber, fileCount), Utf8ToWide(entry.path));
    const std::wstring urlPath = std::wstring(UpdateBasePath) + L"files/" + Utf8ToWide(EncodeUrlPath(entry.path));
    // Flushed before the move, so the cache never vouches for data that is not on the disk yet.
    const bool arrived = ReceiveVerified(entry, urlPath, file.get(), client, progress) && FlushAndClose(file);
    file.Close();
    if (!arrived || !MoveOverTarget(temporaryPath, targetPath)) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    FileState state;
    if (QueryFileState(targetPath, state))
        cache[entry.path] = MakeCacheRecord(entry.size, state.lastWriteTime, entry.hash);
    return true;
}

}  // namespace

void CreateParentDirectories(const std::wstring& path)
{
    for (size_t slash = path.find(L'\\', 1); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1))
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
}

bool DownloadFiles(const std::vector<ManifestEntry>& entries, const DownloadList& downloadList,
                   uint64_t downloadTotal, HttpClient& client, LauncherCache& cache)
{
    FormerFiles formerFiles(entries, cache);
    Progress progress;
    progress.total = downloadTotal;
    const int fileCount = static_cast<int>(downloadList.size());
    for (int index = 0; index < fileCount; ++index) {
        const ManifestEntry& entry = downloadList[index];
        if (!DownloadOne(entry, index + 1, fileCount, client, cache, formerFiles, progress)) {
            PostStatus(L"Falha ao baixar um arquivo. Tente de novo.", Utf8ToWide(entry.path));
            PostDone();
            return false;
        }
        progress.done += entry.size;
    }
    return true;
}
