#include "tests/support/shell_link.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <memory>

namespace {

struct ComReleaser {
    void operator()(IUnknown* object) const { object->Release(); }
};

class ComApartment {
public:
    ComApartment() : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComApartment()
    {
        if (initialized_)
            CoUninitialize();
    }

private:
    bool initialized_;
};

}  // namespace

ShellLinkInfo ReadShellLink(const std::wstring& path)
{
    ComApartment apartment;
    ShellLinkInfo info;
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return info;
    std::unique_ptr<IShellLinkW, ComReleaser> link(rawLink);
    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return info;
    std::unique_ptr<IPersistFile, ComReleaser> file(rawFile);
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
