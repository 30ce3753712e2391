#include "app/installation.h"

#include "app/launcher_state.h"
#include "platform/file_state.h"
#include "platform/text.h"
#include "platform/whole_file.h"

#include <windows.h>

#include <shlobj.h>

bool PrepareInstallDirectory()
{
    wchar_t localAppData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, localAppData)) ||
        localAppData[0] == L'\0')
        return false;
    InstallDirectory = std::wstring(localAppData) + L"\\TolmekBrann";
    CreateDirectoryW(InstallDirectory.c_str(), nullptr);
    return true;
}

std::wstring InstalledLauncherPath()
{
    return InstallDirectory + L"\\TolmekBrannLauncher.exe";
}

bool SamePathIgnoringAsciiCase(const std::wstring& a, const std::wstring& b)
{
    return EqualsIgnoringAsciiCase(a, b);
}

namespace {

// Sizes first: reading the installed copy is worth it only when it may be the same.
bool HoldsBytes(const std::wstring& path, const std::string& bytes)
{
    FileState state;
    std::string held;
    return QueryFileState(path, state) && state.size == bytes.size() && ReadWholeFile(path, held) && held == bytes;
}

}  // namespace

void InstallSelf()
{
    wchar_t runningPath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, runningPath, MAX_PATH);
    // A cut-off path would copy the wrong file, or none.
    if (length == 0 || length >= MAX_PATH)
        return;
    const std::wstring installed = InstalledLauncherPath();
    if (SamePathIgnoringAsciiCase(runningPath, installed))
        return;
    std::string image;
    if (!ReadWholeFile(runningPath, image))
        return;
    if (HoldsBytes(installed, image)) {
        // What a killed copy left beside it would stay for good: no later copy of these bytes is written.
        DeleteFileW((installed + TemporaryFileSuffix).c_str());
        return;
    }
    // Never written in place: a kill half-way would leave a broken launcher that the shortcut starts.
    // Not waited for: a running installed copy stays busy for as long as it runs, and the player
    // waits for the first heading meanwhile; the old copy stays, and the next start tries again.
    ReplaceWholeFile(installed, image, WhenBusy::GiveUp);
}

void DeleteReplacedLauncher()
{
    DeleteFileW((InstalledLauncherPath() + L".old").c_str());
}
