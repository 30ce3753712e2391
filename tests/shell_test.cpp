#include "app/desktop_shortcut.h"
#include "app/installation.h"
#include "app/launcher_state.h"
#include "tests/support/shell_link.h"
#include "tests/support/test_files.h"

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

TEST(Installation, SelfPathComparisonIgnoresOnlyTheCaseOfAsciiLetters)
{
    const std::wstring installed = L"C:\\users\\jogador\\AppData\\Local\\TolmekBrann\\TolmekBrannLauncher.exe";
    EXPECT_TRUE(SamePathIgnoringAsciiCase(installed, installed));
    EXPECT_TRUE(SamePathIgnoringAsciiCase(installed,
                                          L"c:\\USERS\\JOGADOR\\appdata\\local\\tolmekbrann\\tolmekbrannlauncher.EXE"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(L"C:\\Jo\u00C3o\\a.exe", L"C:\\Jo\u00E3o\\a.exe"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(installed, installed + L" "));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(installed, L"C:\\users\\jogador\\Downloads\\TolmekBrannLauncher.exe"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(L"C:\\a@", L"C:\\a`"));  // neighbours of the letters are not letters
    EXPECT_FALSE(SamePathIgnoringAsciiCase(L"C:\\[x]", L"C:\\{x}"));
}

namespace {

std::wstring DesktopLinkPath()
{
    wchar_t desktop[MAX_PATH] = {};
    EXPECT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop)));
    return std::wstring(desktop) + L"\\Tolmek Brann.lnk";
}

}  // namespace

TEST(DesktopShortcut, IsMadeOnlyWhenNothingOfItsNameExists)
{
    const std::wstring link = DesktopLinkPath();
    TempDirectory install;
    InstallDirectory = install.path();
    const std::wstring target = install / L"TolmekBrannLauncher.exe";

    // A start killed during the save left its temporary link behind.
    const std::wstring leftover = link + L".download";
    WriteFileBytes(leftover, "a save cut short");
    DeleteFileW(link.c_str());
    CreateDesktopShortcut(target);
    EXPECT_FALSE(FileExists(leftover));
    const ShellLinkInfo made = ReadShellLink(link);
    ASSERT_TRUE(made.loaded);
    EXPECT_EQ(made.target, target);
    EXPECT_EQ(made.workingDirectory, install.path());
    EXPECT_EQ(made.description, L"Tolmek Brann - www.tolmekbrann.com.br");
    EXPECT_EQ(made.iconPath, target);
    EXPECT_EQ(made.iconIndex, 0);

    WriteFileBytes(link, "the player's own shortcut");
    WriteFileBytes(leftover, "a save cut short");
    CreateDesktopShortcut(target);
    EXPECT_EQ(ReadFileBytes(link), "the player's own shortcut");
    EXPECT_FALSE(FileExists(leftover));
    DeleteFileW(link.c_str());

    ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
    CreateDesktopShortcut(target);
    EXPECT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    RemoveDirectoryW(link.c_str());
    InstallDirectory.clear();
}
