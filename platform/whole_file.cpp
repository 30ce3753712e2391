#include "platform/whole_file.h"

#include "platform/busy_file_retry.h"

#include <climits>
#include <functional>

namespace {

bool Attempt(WhenBusy whenBusy, const std::function<bool()>& attempt)
{
    return whenBusy == WhenBusy::Wait ? RetryWhileBusy(attempt) : attempt();
}

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size))
        return false;
    if (size.QuadPart > INT_MAX) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return bytes.empty() || (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                             read == bytes.size());
}

bool FlushAndClose(UniqueFile& file)
{
    const bool flushed = FlushFileBuffers(file.get()) != FALSE;
    file.Close();
    return flushed;
}

bool MoveIntoPlace(const std::wstring& from, const std::wstring& to, WhenBusy whenBusy)
{
    return Attempt(whenBusy, [&] {
        return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    });
}

void ClearReadOnly(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (attributes & FILE_ATTRIBUTE_READONLY))
    {
        const DWORD cleared = attributes & ~FILE_ATTRIBUTE_READONLY;
        SetFileAttributesW(path.c_str(), cleared ? cleared : FILE_ATTRIBUTE_NORMAL);
    }
}

UniqueFile CreateTemporaryFile(const std::wstring& path, WhenBusy whenBusy)
{
    // A folder of that name is refused as a held file is, but for good: not waited for.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return UniqueFile();
    ClearReadOnly(path);
    HANDLE file = INVALID_HANDLE_VALUE;
    Attempt(whenBusy, [&] {
        file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return UniqueFile(file);
}

static bool WriteAll(const std::wstring& path, const std::string& bytes, WhenBusy whenBusy)
{
    UniqueFile file = CreateTemporaryFile(path, whenBusy);
    if (!file || bytes.size() > MAXDWORD)
        return false;
    DWORD written = 0;
    const bool complete =
        bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                          written == bytes.size());
    return FlushAndClose(file) && complete;
}

bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, WhenBusy whenBusy)
{
    const std::wstring temporaryPath = path + TemporaryFileSuffix;
    if (WriteAll(temporaryPath, bytes, whenBusy)) {
        ClearReadOnly(path);  // a read-only target refuses the move on Windows
        if (MoveIntoPlace(temporaryPath, path, whenBusy))
            return true;
    }
    DeleteFileW(temporaryPath.c_str());
    return false;
}
