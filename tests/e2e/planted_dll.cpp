// Stands in for a DLL that someone left beside the launcher in Downloads, under the name of a system
// DLL. Whatever process loads it leaves "<its path>.loaded" behind, which the end-to-end test looks for.
#include "platform/handles.h"

#include <windows.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = GetModuleFileNameW(self, path.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    path.resize(length);
    UniqueFile marker(CreateFileW((path + L".loaded").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return TRUE;
}
