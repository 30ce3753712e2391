// Stands in for Brann.exe: records where and how the launcher started it, beside itself.
#include "platform/handles.h"
#include "tests/support/test_files.h"

#include <windows.h>

#include <string>

namespace {

constexpr wchar_t kRecordName[] = L"game-ran.txt";
constexpr DWORD kFirstPathCapacity = MAX_PATH;
constexpr DWORD kMaxPathCapacity = 32768;
constexpr int kFailed = 1;

std::wstring ModulePath()
{
    for (DWORD capacity = kFirstPathCapacity; capacity <= kMaxPathCapacity; capacity *= 2) {
        std::wstring path(capacity, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), capacity);
        if (length == 0)
            return {};
        if (length < capacity) {
            path.resize(length);
            return path;
        }
    }
    return {};
}

std::wstring CurrentDirectory()
{
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring path(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, path.data());
    path.resize(length < needed ? length : 0);
    return path;
}


}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const std::wstring exe = ModulePath();
    const size_t slash = exe.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return kFailed;
    const std::wstring record = exe.substr(0, slash + 1) + kRecordName;

    // Appended in one write, so a test can tell one start from two.
    const std::string lines = WideToUtf8(L"cwd=" + CurrentDirectory() + L"\ncmdline=" + GetCommandLineW() + L"\n");
    const UniqueFile file(CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return kFailed;
    DWORD written = 0;
    if (!WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) ||
        written != lines.size())
        return kFailed;
    return 0;
}
