#include "app/desktop_shortcut.h"

#include "app/launcher_state.h"
#include "platform/com.h"
#include "platform/handles.h"
#include "platform/whole_file.h"

#include <windows.h>

#include <shlobj.h>

namespace {

bool SaveShellLink(const std::wstring& target, const std::wstring& linkPath)
{
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return false;
    ComPointer<IShellLinkW> link(rawLink);
    const std::wstring description = std::wstring(L"Tolmek Brann - ") + PublisherAddress;
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(InstallDirectory.c_str());
    link->SetIconLocation(target.c_str(), 0);
    link->SetDescription(description.c_str());

    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return false;
    ComPointer<IPersistFile> file(rawFile);
    return SUCCEEDED(file->Save(linkPath.c_str(), TRUE));
}

// Nothing says that the shell's save has reached the disk; a rename that got there before the bytes
// would leave an empty shortcut after a power loss.
bool FlushToDisk(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return file && FlushAndClose(file);
}

}  // namespace

void CreateDesktopShortcut(const std::wstring& target)
{
    wchar_t desktop[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop)))
        return;
    const std::wstring linkPath = std::wstring(desktop) + L"\\Tolmek Brann.lnk";
    // Saved whole beside it first, so that a close or a kill during the save never leaves a damaged
    // shortcut, which no later start would mend. What a killed save left there is overwritten by the
    // next save, or deleted when there is nothing to save.
    const std::wstring temporaryPath = linkPath + TemporaryFileSuffix;
    // Whatever the player keeps under that name, file or folder, is theirs.
    if (GetFileAttributesW(linkPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        DeleteFileW(temporaryPath.c_str());
        return;
    }
    ComApartment apartment;
    // Without MOVEFILE_REPLACE_EXISTING: a shortcut that appeared meanwhile is still never replaced.
    if (!SaveShellLink(target, temporaryPath) || !FlushToDisk(temporaryPath) ||
        !MoveFileExW(temporaryPath.c_str(), linkPath.c_str(), MOVEFILE_WRITE_THROUGH))
        DeleteFileW(temporaryPath.c_str());
}
