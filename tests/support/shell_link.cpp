#include "tests/support/shell_link.h"

#include "platform/com.h"

#include <windows.h>

#include <shlobj.h>

ShellLinkInfo ReadShellLink(const std::wstring& path)
{
    ComApartment apartment;
    ShellLinkInfo info;
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return info;
    ComPointer<IShellLinkW> link(rawLink);
    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return info;
    ComPointer<IPersistFile> file(rawFile);
    if (FAILED(file->Load(path.c_str(), STGM_READ)))
        return info;

    wchar_t text[MAX_PATH] = {};
    link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
    info.target = text;
    text[0] = L'\0';
    link->GetWorkingDirectory(text, MAX_PATH);
    info.workingDirectory = text;
    text[0] = L'\0';
    link->GetDescription(text, MAX_PATH);
    info.description = text;
    text[0] = L'\0';
    link->GetIconLocation(text, MAX_PATH, &info.iconIndex);
    info.iconPath = text;
    info.loaded = true;
    return info;
}
