#include "app/launcher_state.h"
#include "platform/file_state.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/message_recorder.h"
#include "tests/support/stopwatch.h"
#include "tests/support/test_files.h"
#include "tests/support/test_server.h"
#include "update/launcher_cache.h"
#include "update/manifest.h"
#include "update/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

const std::wstring Searching = L"status:Procurando atualizacoes...|";
const std::wstring Credit = L"|Desenvolvido por www.tolmekbrann.com.br";
const std::wstring NoServer = L"status:Nao foi possivel falar com o servidor.|Verifique sua internet. Se ja tiver o "
                              L"jogo instalado, pode jogar mesmo assim.";

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InstallDirectory = install.path();
        GameAvailable = false;
    }
    void TearDown() override { InstallDirectory.clear(); }

    void Run()
    {
        recorder.Clear();
        recorder.Run(UpdateRun);
    }

    std::string Record(const std::string& path, const std::string& bytes)
    {
        FileState state;
        EXPECT_TRUE(QueryFileState(LocalPathFor(path), state));
        return MakeCacheRecord(bytes.size(), state.lastWriteTime, TestServer::Sha256Of(bytes));
    }

    std::string CacheBytes() { return ReadFileBytes(install / L"launcher.cache"); }

    TempDirectory install;
    TestServer server;
    MessageRecorder recorder;
};

}  // namespace

TEST_F(UpdateRunTest, ManifestThatCannotBeFetchedLetsOnlyAnInstalledGameBePlayed)
{
    server.SetFaults(R"({"/launcher/manifest.txt": {"status": 500}})");
    WriteFileBytes(install / L"launcher.cache", "kept\r\nas it was\r\n");
    const std::vector<std::wstring> expected = {
        Searching,
        L"status:Nao foi possivel falar com o servidor.|Verifique sua internet. Se ja tiver o jogo instalado, pode "
        L"jogar mesmo assim.",
        L"done"};

    Run();
    EXPECT_EQ(recorder.Log(), expected);
    EXPECT_FALSE(GameAvailable);

    WriteFileBytes(install / L"Brann.exe", "game");
    Run();
    EXPECT_EQ(recorder.Log(), expected);
    EXPECT_TRUE(GameAvailable);
    EXPECT_EQ(CacheBytes(), "kept\r\nas it was\r\n");
    EXPECT_EQ(server.RequestedPaths(),
              (std::vector<std::string>{"/launcher/manifest.txt", "/launcher/manifest.txt"}));
}

TEST_F(UpdateRunTest, ServerThatAcceptsAndThenSaysNothingEndsTheRunAndLetsAnInstalledGameBePlayed)
{
    const struct {
        const char* name;
        const char* faults;
        size_t requestsRead;
    } cases[] = {
        {"TLS completed, request read, no answer", R"({"/launcher/manifest.txt": {"silent": true}})", 1},
        {"connection accepted, TLS never started", R"({"handshake": {"silent": true}})", 0},
    };
    WriteFileBytes(install / L"Brann.exe", "game");
    for (const auto& c : cases) {
        server.SetFaults(c.faults);
        GameAvailable = false;
        recorder.Clear();
        const size_t requestsBefore = server.RequestedPaths().size();
        const Stopwatch stopwatch;
        const bool ended = recorder.RunWithin(UpdateRun, StalledRunLimitMs, [this] { server.SetFaults("{}"); });
        std::printf("%s: %s after %.1f s\n", c.name, ended ? "ended" : "did not end, the server let go",
                    stopwatch.ElapsedMs() / 1000);
        std::fflush(stdout);

        EXPECT_TRUE(ended) << c.name;
        EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, NoServer, L"done"})) << c.name;
        EXPECT_TRUE(GameAvailable) << c.name;
        EXPECT_EQ(server.RequestedPaths().size() - requestsBefore, c.requestsRead) << c.name;
        server.SetFaults("{}");
    }
}

TEST_F(UpdateRunTest, FirstRunDownloadsEverythingAndSecondRunFindsAllCurrentWithoutReading)
{
    const std::string game = "game executable";
    const std::string map = PatternBytes(100000);
    server.PutFile("Brann.exe", game);
    server.PutFile("maps/ilha 1.map", map);
    server.PutManifest(TestServer::ManifestLine(map, "maps/ilha 1.map") + TestServer::ManifestLine(game, "Brann.exe"));

    Run();
    const std::vector<std::wstring>& log = recorder.Log();
    ASSERT_GE(log.size(), 7u);
    EXPECT_EQ(log[0], Searching);
    EXPECT_EQ(log[1], L"progress:150");
    EXPECT_EQ(log[2], L"progress:300");
    EXPECT_EQ(log[3], L"status:Baixando 1 de 2|maps/ilha 1.map");
    EXPECT_EQ(log.end()[-3], L"progress:1000");
    EXPECT_EQ(log.end()[-2], L"status:Atualizado! Boa guerra!" + Credit);
    EXPECT_EQ(log.back(), L"done");
    EXPECT_TRUE(GameAvailable);
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), game);
    EXPECT_EQ(CacheBytes(), "Brann.exe\r\n" + Record("Brann.exe", game) + "\r\nmaps/ilha 1.map\r\n" +
                                Record("maps/ilha 1.map", map) + "\r\n");
    const std::string cacheAfterFirstRun = CacheBytes();

    GameAvailable = false;
    Run();
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, L"progress:150", L"progress:300",
                                                         L"progress:1000",
                                                         L"status:Tudo atualizado. Boa guerra!" + Credit, L"done"}));
    EXPECT_TRUE(GameAvailable);
    EXPECT_EQ(CacheBytes(), cacheAfterFirstRun);
    EXPECT_EQ(server.RequestedPaths().size(), 4u);  // the second run asked for the manifest only
}

TEST_F(UpdateRunTest, FailedDownloadKeepsTheCacheFileAndTheNextRunHashesWhatItReplaced)
{
    const std::string a = "first file", b = "second file", c = "third file";
    server.PutFile("a.txt", a);
    server.PutFile("b.txt", b);
    server.PutFile("c.txt", c);
    server.PutManifest(TestServer::ManifestLine(a, "a.txt") + TestServer::ManifestLine(b, "b.txt") +
                       TestServer::ManifestLine(c, "c.txt"));
    server.SetFaults(R"({"/launcher/files/c.txt": {"status": 404}})");
    WriteFileBytes(install / L"launcher.cache", "zz-unlisted\r\nkept\r\n");

    Run();
    EXPECT_EQ(recorder.Log().end()[-2], L"status:Falha ao baixar um arquivo. Tente de novo.|c.txt");
    EXPECT_EQ(recorder.Log().back(), L"done");
    EXPECT_EQ(std::count(recorder.Log().begin(), recorder.Log().end(), L"done"), 1);
    EXPECT_FALSE(GameAvailable);
    EXPECT_EQ(ReadFileBytes(install / L"a.txt"), a);
    EXPECT_EQ(ReadFileBytes(install / L"b.txt"), b);
    EXPECT_EQ(CacheBytes(), "zz-unlisted\r\nkept\r\n");

    server.SetFaults("{}");
    Run();
    EXPECT_EQ(recorder.Statuses(),
              (std::vector<std::wstring>{L"Procurando atualizacoes...|", L"Conferindo arquivos...|a.txt",
                                         L"Conferindo arquivos...|b.txt", L"Baixando 1 de 1|c.txt",
                                         L"Atualizado! Boa guerra!" + Credit}));
    EXPECT_TRUE(GameAvailable);
    EXPECT_EQ(CacheBytes(), "a.txt\r\n" + Record("a.txt", a) + "\r\nb.txt\r\n" + Record("b.txt", b) +
                                "\r\nc.txt\r\n" + Record("c.txt", c) + "\r\nzz-unlisted\r\nkept\r\n");
}

TEST_F(UpdateRunTest, ManifestWithoutRecordsRewritesTheCacheAndEndsAllCurrent)
{
    server.PutManifest("# nothing to install yet\n");
    WriteFileBytes(install / L"launcher.cache", "b\nvalue b\na\nvalue a\n");

    Run();
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, L"progress:1000",
                                                         L"status:Tudo atualizado. Boa guerra!" + Credit, L"done"}));
    EXPECT_TRUE(GameAvailable);
    EXPECT_EQ(CacheBytes(), "a\r\nvalue a\r\nb\r\nvalue b\r\n");
}

TEST_F(UpdateRunTest, UppercaseDigestsAfterAByteOrderMarkUpdateOnceAndThenAllIsCurrent)
{
    const std::string installed = "already installed", fetched = "fetched file";
    server.PutFile("fetched.txt", fetched);
    std::string manifest = "\xEF\xBB\xBF" + TestServer::ManifestLine(fetched, "fetched.txt") +
                           TestServer::ManifestLine(installed, "installed.txt");
    for (size_t line = 3; line < manifest.size(); line = manifest.find('\n', line) + 1)
        for (size_t digit = line; digit < line + 64; ++digit)  // the digest, not the path
            manifest[digit] = static_cast<char>(toupper(static_cast<unsigned char>(manifest[digit])));
    server.PutManifest(manifest);
    WriteFileBytes(install / L"installed.txt", installed);

    Run();
    EXPECT_EQ(recorder.Statuses(),
              (std::vector<std::wstring>{L"Procurando atualizacoes...|", L"Conferindo arquivos...|installed.txt",
                                         L"Baixando 1 de 1|fetched.txt", L"Atualizado! Boa guerra!" + Credit}));
    EXPECT_EQ(ReadFileBytes(install / L"fetched.txt"), fetched);

    Run();
    EXPECT_EQ(recorder.Statuses(),
              (std::vector<std::wstring>{L"Procurando atualizacoes...|", L"Tudo atualizado. Boa guerra!" + Credit}));
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/launcher/manifest.txt", "/launcher/files/fetched.txt",
                                                                 "/launcher/manifest.txt"}));
}

TEST_F(UpdateRunTest, ManifestAnnouncedAboveSixtyFourMebibytesIsAFailedFetch)
{
    server.PutManifest("# small, but announced as huge\n");
    server.SetFaults(R"({"/launcher/manifest.txt": {"extra_bytes": 67108864}})");
    WriteFileBytes(install / L"Brann.exe", "game");

    Run();
    EXPECT_EQ(recorder.Statuses().back(), L"Nao foi possivel falar com o servidor.|Verifique sua internet. Se ja "
                                          L"tiver o jogo instalado, pode jogar mesmo assim.");
    EXPECT_EQ(recorder.Log().back(), L"done");
    EXPECT_TRUE(GameAvailable);
}

TEST_F(UpdateRunTest, LeftoverTemporaryFilesOfListedFilesAreDeletedAndNothingElse)
{
    const std::string map = "current map";
    server.PutManifest(TestServer::ManifestLine(map, "maps/Ilha.map"));
    CreateDirectoryW((install / L"maps").c_str(), nullptr);
    WriteFileBytes(install / L"maps\\Ilha.map", map);
    WriteFileBytes(install / L"maps\\ILHA.MAP.download", "half of an interrupted download");
    SetFileAttributesW((install / L"maps\\ILHA.MAP.download").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(install / L"maps\\notas.txt.download", "the player's own file");

    Run();
    EXPECT_EQ(recorder.Statuses().back(), L"Tudo atualizado. Boa guerra!" + Credit);
    EXPECT_FALSE(FileExists(install / L"maps\\ILHA.MAP.download"));
    EXPECT_EQ(ReadFileBytes(install / L"maps\\notas.txt.download"), "the player's own file");
}

TEST_F(UpdateRunTest, LauncherBuiltWithoutAKeyUpdatesFromASignedManifest)
{
    const std::string manifest = server.PutSite(TestServer::SignedSite(L"built-in"));
    ASSERT_NE(manifest.find("\n#signature "), std::string::npos);

    Run();
    ASSERT_GE(recorder.Log().size(), 3u);
    EXPECT_EQ(recorder.Log().end()[-2], L"status:Atualizado! Boa guerra!" + Credit);
    EXPECT_TRUE(GameAvailable);
    const std::vector<ManifestEntry> entries = ParseManifest(manifest);
    ASSERT_EQ(entries.size(), 2u);
    for (const ManifestEntry& entry : entries)
        EXPECT_EQ(TestServer::Sha256Of(ReadFileBytes(LocalPathFor(entry.path))), entry.hash) << entry.path;
    // It reads the serial as a comment and keeps no record of it.
    EXPECT_FALSE(FileExists(install / L"launcher.serial"));
}

namespace {

struct LayoutChange {
    const char* name;
    std::vector<std::pair<std::string, std::string>> first;   // version 1: path, bytes
    std::vector<std::string> writtenFiles;                    // after version 1, bytes = path (player, closed window)
    std::vector<std::wstring> emptyFolders;                   // made after version 1
    std::vector<std::string> removedBeforeSecond;             // as a killed earlier clearing left it
    std::vector<std::pair<std::string, std::string>> second;  // version 2
    std::string failingPath;                                  // empty: version 2 installs
    std::vector<std::pair<std::string, std::string>> kept = {};  // then under launcher.kept: path, bytes
    // Installed after version 1 by a run that fails on its last file, which the server lacks.
    std::vector<std::pair<std::string, std::string>> interrupted = {};
};

bool IsListed(const std::vector<std::pair<std::string, std::string>>& files, const std::string& path)
{
    return std::any_of(files.begin(), files.end(), [&](const auto& file) { return file.first == path; });
}

// Every file below `folder`: path with "/", bytes.
std::vector<std::pair<std::string, std::string>> FilesBelow(const std::wstring& folder)
{
    std::vector<std::pair<std::string, std::string>> files;
    std::error_code error;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder, error))
        if (item.is_regular_file())
            files.emplace_back(std::filesystem::relative(item.path(), folder).generic_u8string(),
                               ReadFileBytes(item.path().wstring()));
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST_F(UpdateRunTest, LauncherClearsOnlyItsOwnFilesOutOfTheWayOfALayoutChange)
{
    const std::vector<LayoutChange> cases = {
        {"file becomes a folder",
         {{"Brann.exe", "game 1"}, {"dados/fases", "all levels in one file"}},
         {},
         {},
         {},
         {{"Brann.exe", "game 2"}, {"dados/fases/1.dat", "level 1"}, {"dados/fases/2.dat", "level 2"}},
         ""},
        {"folder of two levels becomes a file",
         {{"Brann.exe", "game 1"}, {"dados/vozes/a.ogg", "voice a"}, {"dados/vozes/sub/b.ogg", "voice b"}},
         {},
         {L"dados\\vozes\\sub\\vazia"},
         {},
         {{"Brann.exe", "game 2"}, {"dados/vozes", "all voices in one file"}},
         ""},
        {"folder left half cleared by a killed start",
         {{"dados/vozes/a.ogg", "voice a"}, {"dados/vozes/sub/b.ogg", "voice b"}},
         {},
         {},
         {"dados/vozes/a.ogg"},
         {{"dados/vozes", "all voices in one file"}},
         ""},
        {"player's file where a folder must be",
         {{"Brann.exe", "game 1"}},
         {"dados/fases"},
         {},
         {},
         {{"Brann.exe", "game 2"}, {"dados/fases/1.dat", "level 1"}},
         "",
         {{"dados/fases", "dados/fases"}}},
        {"player's file in a folder that becomes a file",
         {{"dados/vozes/a.ogg", "voice a"}, {"dados/vozes/sub/b.ogg", "voice b"}},
         {"dados/vozes/sub/minhas notas.txt"},
         {},
         {},
         {{"dados/vozes", "all voices in one file"}},
         "",
         {{"dados/vozes/sub/minhas notas.txt", "dados/vozes/sub/minhas notas.txt"}}},
        // The same bytes written again: only the last-write time tells the file was touched.
        {"former file the player rewrote unchanged, where a folder must be",
         {{"Brann.exe", "game 1"}, {"dados/fases", "dados/fases"}},
         {"dados/fases"},
         {},
         {},
         {{"Brann.exe", "game 2"}, {"dados/fases/1.dat", "level 1"}},
         "",
         {{"dados/fases", "dados/fases"}}},
        // The cache is saved only by a good run: a.ogg's record still describes version 1.
        {"folder whose file a failed run replaced becomes a file",
         {{"dados/vozes/a.ogg", "voice a"}, {"dados/vozes/sub/b.ogg", "voice b"}},
         {},
         {},
         {},
         {{"dados/vozes", "all voices in one file"}},
         "",
         {{"dados/vozes/a.ogg", "voice a 2"}},
         {{"dados/vozes/a.ogg", "voice a 2"}, {"zz/never served.dat", "missing"}}},
        {"kept path taken already",
         {{"cfg/teclas.ini", "keys 1"}},
         {"cfg/teclas.ini", "launcher.kept/cfg/teclas.ini"},
         {},
         {},
         {{"cfg/teclas.ini/jogador 1.ini", "keys of player 1"}},
         "",
         {{"cfg/teclas (2).ini", "cfg/teclas.ini"}, {"cfg/teclas.ini", "launcher.kept/cfg/teclas.ini"}}},
        {"nowhere to keep a player's file",
         {{"Brann.exe", "game 1"}},
         {"dados/fases", "launcher.kept"},
         {},
         {},
         {{"Brann.exe", "game 2"}, {"dados/fases/1.dat", "level 1"}},
         "dados/fases/1.dat"},
        {"download left by a closed window in a folder that becomes a file",
         {{"dados/vozes/a.ogg", "voice a"}, {"dados/vozes/sub/b.ogg", "voice b"}},
         {"dados/vozes/sub/b.ogg.download"},
         {},
         {},
         {{"dados/vozes", "all voices in one file"}},
         ""},
    };
    for (const LayoutChange& c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory folder;
        InstallDirectory = folder.path();
        // A site of its own per version: the server's folders change their layout too.
        std::optional<TestServer> site;
        const auto serve = [&](const std::vector<std::pair<std::string, std::string>>& files, bool lastMissing) {
            site.emplace();
            std::string manifest;
            for (const auto& [path, bytes] : files) {
                if (!lastMissing || path != files.back().first)
                    site->PutFile(path, bytes);
                manifest += TestServer::ManifestLine(bytes, path);
            }
            site->PutManifest(manifest);
        };
        serve(c.first, false);
        Run();
        ASSERT_EQ(recorder.Statuses().back(), L"Atualizado! Boa guerra!" + Credit);
        if (!c.interrupted.empty()) {
            serve(c.interrupted, true);
            Run();
            ASSERT_EQ(recorder.Statuses().back(),
                      L"Falha ao baixar um arquivo. Tente de novo.|" + Utf8ToWide(c.interrupted.back().first));
        }
        for (const std::string& path : c.writtenFiles) {
            std::filesystem::create_directories(std::filesystem::path(LocalPathFor(path)).parent_path());
            WriteFileBytes(LocalPathFor(path), path);
            ASSERT_EQ(ReadFileBytes(LocalPathFor(path)), path);
        }
        for (const std::wstring& empty : c.emptyFolders)
            ASSERT_TRUE(CreateDirectoryW((folder / empty).c_str(), nullptr));
        for (const std::string& path : c.removedBeforeSecond)
            ASSERT_TRUE(DeleteFileW(LocalPathFor(path).c_str()));

        serve(c.second, false);
        GameAvailable = false;
        Run();
        if (!c.failingPath.empty()) {
            EXPECT_EQ(recorder.Statuses().back(),
                      L"Falha ao baixar um arquivo. Tente de novo.|" + Utf8ToWide(c.failingPath));
            EXPECT_FALSE(GameAvailable);
            for (const std::string& path : c.writtenFiles)
                EXPECT_EQ(ReadFileBytes(LocalPathFor(path)), path);
            continue;
        }
        EXPECT_EQ(recorder.Statuses().back(), L"Atualizado! Boa guerra!" + Credit);
        for (const auto& [path, bytes] : c.second)
            EXPECT_EQ(ReadFileBytes(LocalPathFor(path)), bytes) << path;
        // The cleared files are forgotten: a later file of their name would not be the launcher's.
        for (const auto& [path, bytes] : c.first) {
            if (!IsListed(c.second, path)) {
                EXPECT_EQ(CacheBytes().find(path + "\r\n"), std::string::npos) << path;
            }
        }

        const size_t requestsBefore = site->RequestedPaths().size();
        Run();
        EXPECT_EQ(recorder.Statuses().back(), L"Tudo atualizado. Boa guerra!" + Credit);
        EXPECT_EQ(site->RequestedPaths().size(), requestsBefore + 1);
        EXPECT_EQ(site->RequestedPaths().back(), "/launcher/manifest.txt");
        // Moved whole, the launcher's own files left out, and never checked or swept since.
        EXPECT_EQ(FilesBelow(folder / L"launcher.kept"), c.kept);
    }
    InstallDirectory = install.path();
}

TEST_F(UpdateRunTest, FileThatAScannerHoldsForAMomentIsWaitedForAndTheRunCompletes)
{
    constexpr DWORD ScanMs = 1500;
    const std::string oldGame = "old game", newGame = "new game";
    for (const wchar_t* held : {L"Brann.exe", L"Brann.exe.download", L"launcher.cache"}) {
        SCOPED_TRACE(WideToUtf8(held));
        TempDirectory folder;
        InstallDirectory = folder.path();
        server.PutFile("Brann.exe", newGame);
        server.PutManifest(TestServer::ManifestLine(newGame, "Brann.exe"));
        WriteFileBytes(folder / L"Brann.exe", oldGame);
        WriteFileBytes(folder / L"Brann.exe.download", "left by a closed window");
        WriteFileBytes(folder / L"launcher.cache", "zz-unlisted\r\nkept\r\n");
        // As a real-time scanner holds a file it has just seen: sharing reading only.
        UniqueFile scanner(
            CreateFileW((folder / held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(scanner);
        std::thread letGo([&] {
            Sleep(ScanMs);
            scanner.Close();
        });
        Run();
        letGo.join();
        EXPECT_EQ(recorder.Statuses().back(), L"Atualizado! Boa guerra!" + Credit);
        EXPECT_TRUE(GameAvailable);
        EXPECT_EQ(ReadFileBytes(folder / L"Brann.exe"), newGame);
        EXPECT_FALSE(FileExists(folder / L"Brann.exe.download"));
        EXPECT_EQ(ReadFileBytes(folder / L"launcher.cache"),
                  "Brann.exe\r\n" + Record("Brann.exe", newGame) + "\r\nzz-unlisted\r\nkept\r\n");
        GameAvailable = false;
    }
    InstallDirectory = install.path();
}
