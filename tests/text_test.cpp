#include "app/launcher_state.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <sstream>

TEST(Text, Utf8ToWideConvertsMultiByteLettersToSingleCodeUnits)
{
    EXPECT_EQ(Utf8ToWide(""), L"");
    const std::wstring acao = Utf8ToWide("A\xC3\xA7\xC3\xA3o");
    ASSERT_EQ(acao.size(), 4u);
    EXPECT_EQ(acao, L"A\u00E7\u00E3o");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x8E\xAE"), L"\U0001F3AE");  // outside the BMP: a surrogate pair
    EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
}

TEST(Text, EncodeUrlPathEscapesEverythingButUnreservedBytes)
{
    const struct {
        std::string path;
        std::string encoded;
    } cases[] = {
        {"sons/A\xC3\xA7\xC3\xA3o 1.ogg", "sons/A%C3%A7%C3%A3o%201.ogg"},
        {"mapa+(1).dat", "mapa%2B%281%29.dat"},
        {"Az09-._/x", "Az09-._/x"},
        {"", ""},
        {"maps\\x.dat", "maps%5Cx.dat"},
        {"100%~ok", "100%25%7Eok"},
        {std::string("nul\0x", 5), "nul%00x"},
        {"caf\xC3\xA9", "caf%C3%A9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeUrlPath(c.path), c.encoded) << c.path;
}

TEST(Paths, LocalPathForJoinsInstallDirectoryAndTurnsSlashesIntoBackslashes)
{
    InstallDirectory = L"C:\\Users\\jogador\\AppData\\Local\\TolmekBrann";
    EXPECT_EQ(LocalPathFor("maps/x/y.dat"), InstallDirectory + L"\\maps\\x\\y.dat");
    EXPECT_EQ(LocalPathFor("maps\\x.dat"), InstallDirectory + L"\\maps\\x.dat");
    EXPECT_EQ(LocalPathFor("sons/A\xC3\xA7\xC3\xA3o 1.ogg"), InstallDirectory + L"\\sons\\A\u00E7\u00E3o 1.ogg");
    InstallDirectory.clear();
}

TEST(Paths, IsSafeRelativePathRejectsEveryWayOutOfTheInstallDirectory)
{
    const char* safe[] = {"Brann.exe", "maps/x/y.dat", "maps\\x.dat", "sons/A\xC3\xA7\xC3\xA3o 1.ogg",
                          ".hidden", "a..b/c", "dir.d/file", "..a"};
    for (const char* path : safe)
        EXPECT_TRUE(IsSafeRelativePath(path)) << path;

    const char* unsafe[] = {"", "/etc/passwd", "\\windows\\win.ini", "C:/x", "C:x", "file.txt:stream",
                            "../fora.txt", "..\\fora.txt", "a/../../b", "a/./b", "./a", "a//b", "a/",
                            "a\\", "..", ".", "a/..", "...", ".. /x", "a/ /b"};
    for (const char* path : unsafe)
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
}

namespace {

// "\xNN" is the byte NN and "\\" one backslash; every other byte stands for itself.
std::string Unescape(const std::string& text)
{
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

}  // namespace

// The same table is the publisher's tool's test: the two must refuse exactly the same paths.
TEST(Paths, IsSafeRelativePathJudgesEveryCaseOfTheSharedTableAsThePublishersToolDoes)
{
    std::istringstream table(ReadFileBytes(PathCasesFile));
    int cases = 0;
    std::string line;
    while (std::getline(table, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const std::string verdict = line.substr(0, tab);
        ASSERT_TRUE(verdict == "safe" || verdict == "unsafe") << line;
        EXPECT_EQ(IsSafeRelativePath(Unescape(line.substr(tab + 1))), verdict == "safe") << line;
        ++cases;
    }
    EXPECT_GT(cases, 100);
}
