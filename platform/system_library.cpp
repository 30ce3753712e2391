#include "platform/system_library.h"

#include <windows.h>

// Never freed: the delay-load thunks bound to it stay bound for the life of the process.
static bool LoadFromSystem32(const wchar_t* fileName)
{
    return LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr;
}

bool LoadWinHttp()
{
    // WinHTTP's TLS needs CNG and pulls it in by name: without it no request could succeed (Wine's
    // WinHTTP even crashes trying), and loaded from System32 first, it is never searched for.
    static const bool loaded = LoadCng() && LoadFromSystem32(L"winhttp.dll");
    return loaded;
}

bool LoadCommonControls()
{
    static const bool loaded = LoadFromSystem32(L"comctl32.dll");
    return loaded;
}

bool LoadCng()
{
    static const bool loaded = LoadFromSystem32(L"bcrypt.dll");
    return loaded;
}
