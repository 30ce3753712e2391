#pragma once

#include <string>

struct ShellLinkInfo {
    bool loaded = false;
    std::wstring target;
    std::wstring workingDirectory;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};

// Reads a .lnk file back through the shell's own link object.
ShellLinkInfo ReadShellLink(const std::wstring& path);
