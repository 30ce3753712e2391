// Stands in for Brann.exe: records where and how the launcher started it, beside itself.
#include <windows.h>

#include <memory>
#include <string>

namespace {

constexpr wchar_t kRecordName[] = L"game-ran.txt";
constexpr DWORD kFirstPathCapacity = MAX_PATH;
constexpr DWORD kMaxPathCapacity = 32768;
constexpr int kFailed = 1;

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

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

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
    return out;
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
    const std::string lines = ToUtf8(L"cwd=" + CurrentDirectory() + L"\ncmdline=" + GetCommandLineW() + L"\n");
    const HANDLE raw = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE)
        return kFailed;
    const UniqueHandle file(raw);
    DWORD written = 0;
    if (!WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) ||
        written != lines.size())
        return kFailed;
    return 0;
}
