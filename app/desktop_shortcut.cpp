#include "app/desktop_shortcut.h"

#include "app/launcher_state.h"
#include "platform/com.h"

#include <windows.h>

#include <shlobj.h>

namespace {

void SaveShellLink(const std::wstring& target, const std::wstring& linkPath)
{
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return;
    ComPointer<IShellLinkW> link(rawLink);
    const std::wstring description = std::wstring(L"Tolmek Brann - ") + PublisherAddress;
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(InstallDirectory.c_str());
    link->SetIconLocation(target.c_str(), 0);
    link->SetDescription(description.c_str());

    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return;
    ComPointer<IPersistFile> file(rawFile);
    file->Save(linkPath.c_str(), TRUE);
}

}  // namespace

void CreateDesktopShortcut(const std::wstring& target)
{
    wchar_t desktop[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop)))
        return;
    const std::wstring linkPath = std::wstring(desktop) + L"\\Tolmek Brann.lnk";
    // Whatever the player keeps under that name, file or folder, is theirs.
    if (GetFileAttributesW(linkPath.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    ComApartment apartment;
    SaveShellLink(target, linkPath);
}
