// The update run of a launcher built with a manifest key. The key pairs, and the manifests signed
// with them, come from the publisher's tool (tests/CMakeLists.txt).
#include "app/launcher_state.h"
#include "platform/busy_file_retry.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "tests/support/message_recorder.h"
#include "tests/support/mutation.h"
#include "tests/support/stopwatch.h"
#include "tests/support/test_files.h"
#include "tests/support/test_server.h"
#include "update/manifest.h"
#include "update/manifest_serial.h"
#include "update/manifest_signature.h"
#include "update/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace {

const std::wstring Searching = L"status:Procurando atualizacoes...|";
const std::wstring NotAuthentic =
    L"status:A atualizacao recebida nao e autentica.|Se ja tiver o jogo instalado, pode jogar mesmo assim.";
const std::wstring Updated = L"status:Atualizado! Boa guerra!|Desenvolvido por www.tolmekbrann.com.br";
const std::wstring AllCurrent = L"status:Tudo atualizado. Boa guerra!|Desenvolvido por www.tolmekbrann.com.br";
const std::wstring DownloadFailed = L"status:Falha ao baixar um arquivo. Tente de novo.|Brann.exe";
const std::string SignaturePrefix = "#signature ";

// Another character of the same kind, so that a digit stays a digit and base64 stays base64.
std::string WithByteChanged(std::string text, size_t offset)
{
    char& c = text.at(offset);
    if (std::isdigit(static_cast<unsigned char>(c)))
        c = c == '9' ? '0' : c + 1;
    else if (std::isalpha(static_cast<unsigned char>(c)))
        c = (c == 'z' || c == 'Z') ? c - 25 : c + 1;
    else
        c ^= 0x01;
    return text;
}

class SignedManifestTest : public ::testing::Test {
protected:
    void SetUp() override { GameAvailable = false; }
    void TearDown() override { InstallDirectory.clear(); }

    // One update run into `install`, serving the game that the tool published with `manifest`.
    void Run(const TempDirectory& install, const std::string& manifest)
    {
        InstallDirectory = install.path();
        server.PutSite(TestServer::SignedSite(L"built-in"));
        server.PutManifest(manifest);
        recorder.Clear();
        recorder.Run(UpdateRun);
    }

    // One update run into `install`, serving a site that the tool published with a serial
    // (L"serial-1002") or signed without one (L"no-serial"). Returns its manifest.
    std::string RunSite(const TempDirectory& install, const std::wstring& site)
    {
        InstallDirectory = install.path();
        const std::string manifest = server.PutSite(TestServer::SignedSite(site));
        recorder.Clear();
        recorder.Run(UpdateRun);
        return manifest;
    }

    // Every listed file is installed as `manifest` lists it.
    static void ExpectInstalled(const std::string& manifest)
    {
        const std::vector<ManifestEntry> entries = ParseManifest(manifest);
        ASSERT_EQ(entries.size(), 2u);
        for (const ManifestEntry& entry : entries)
            EXPECT_EQ(TestServer::Sha256Of(ReadFileBytes(LocalPathFor(entry.path))), entry.hash) << entry.path;
    }

    std::vector<std::string> RequestsSince(size_t count) const
    {
        const std::vector<std::string> paths = server.RequestedPaths();
        return std::vector<std::string>(paths.begin() + std::min(count, paths.size()), paths.end());
    }

    TestServer server;
    MessageRecorder recorder;
};

}  // namespace

TEST_F(SignedManifestTest, OnlyAManifestWhoseLastLineIsASignatureByOneOfTheBuiltInKeysIsActedOn)
{
    const std::string signedText = ReadFileBytes(TestServer::SignedSite(L"built-in") + L"\\manifest.txt");
    const std::string bySecondKey = ReadFileBytes(TestServer::SignedSite(L"second") + L"\\manifest.txt");
    const std::string byOtherKey = ReadFileBytes(TestServer::SignedSite(L"other") + L"\\manifest.txt");
    const size_t line = signedText.rfind(SignaturePrefix);
    ASSERT_NE(line, std::string::npos);
    ASSERT_EQ(signedText.back(), '\n');
    const std::string body = signedText.substr(0, line);
    const std::string base64 = signedText.substr(line + SignaturePrefix.size(), 88);
    ASSERT_EQ(signedText.substr(line), SignaturePrefix + base64 + "\n");
    // The same records; the serial is each signing's time.
    const size_t serialLine = body.find("#serial ");
    ASSERT_NE(serialLine, std::string::npos);
    ASSERT_EQ(byOtherKey.substr(0, serialLine), body.substr(0, serialLine));
    ASSERT_EQ(bySecondKey.substr(0, serialLine), body.substr(0, serialLine));
    const std::vector<ManifestEntry> entries = ParseManifest(signedText);
    ASSERT_EQ(entries.size(), 2u);

    const struct {
        const char* name;
        std::string manifest;
        bool accepted;
    } cases[] = {
        {"as the tool signed it", signedText, true},
        {"signature line ended by CR LF", body + SignaturePrefix + base64 + "\r\n", true},
        {"signature line without a line feed", body + SignaturePrefix + base64, true},
        {"a digest changed", WithByteChanged(signedText, 0), false},
        {"a size changed", WithByteChanged(signedText, signedText.find(' ') + 1), false},
        {"a path changed", WithByteChanged(signedText, signedText.find('\n') - 1), false},
        {"the signature changed", WithByteChanged(signedText, line + SignaturePrefix.size() + 40), false},
        {"signed by the second built-in key", bySecondKey, true},
        {"signed by another key", byOtherKey, false},
        {"no signature line", body, false},
        {"a record after the signature line", signedText + body.substr(0, body.find('\n') + 1), false},
        {"an empty line after the signature line", signedText + "\n", false},
        {"a comment after the signature line", signedText + "# more\n", false},
        {"signature of 63 bytes", body + SignaturePrefix + base64.substr(0, 84) + "\n", false},
        {"signature of 65 bytes", body + SignaturePrefix + base64.substr(0, 86) + "A=\n", false},
        {"signature that is not base64", body + SignaturePrefix + base64.substr(0, 85) + "*==\n", false},
        {"signature without its blank", body + "#signature" + base64 + "\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh installation each time, so that a manifest that is acted on must download the game.
        const TempDirectory install;
        const size_t requestsBefore = server.RequestedPaths().size();
        GameAvailable = false;
        Run(install, c.manifest);

        if (c.accepted) {
            ASSERT_GE(recorder.Log().size(), 3u);
            EXPECT_EQ(recorder.Log().end()[-2], Updated);
            EXPECT_EQ(recorder.Log().back(), L"done");
            EXPECT_TRUE(GameAvailable);
            for (const ManifestEntry& entry : entries)
                EXPECT_EQ(TestServer::Sha256Of(ReadFileBytes(LocalPathFor(entry.path))), entry.hash) << entry.path;
            EXPECT_EQ(RequestsSince(requestsBefore).size(), 1 + entries.size());
        } else {
            EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, NotAuthentic, L"done"}));
            EXPECT_FALSE(GameAvailable);
            EXPECT_FALSE(FileExists(LocalPathFor("Brann.exe")));
            EXPECT_FALSE(FileExists(install / L"launcher.cache"));
            // An unsigned serial must not raise the record either.
            EXPECT_FALSE(FileExists(install / ManifestSerialFileName));
            EXPECT_EQ(RequestsSince(requestsBefore), (std::vector<std::string>{"/launcher/manifest.txt"}));
        }
    }
}

TEST_F(SignedManifestTest, RefusedManifestLetsAnInstalledGameBePlayedAndLeavesItsFilesAlone)
{
    const TempDirectory install;
    WriteFileBytes(install / L"Brann.exe", "the installed game");
    WriteFileBytes(install / L"launcher.cache", "kept\r\nas it was\r\n");

    Run(install, ReadFileBytes(TestServer::SignedSite(L"other") + L"\\manifest.txt"));
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, NotAuthentic, L"done"}));
    EXPECT_TRUE(GameAvailable);
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), "the installed game");
    EXPECT_EQ(ReadFileBytes(install / L"launcher.cache"), "kept\r\nas it was\r\n");
}

TEST(ManifestSerial, OnlyOneCanonicalSerialLineFrom1To2To63Minus1IsRead)
{
    const std::string record = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 3 a.txt\n";
    const std::string signature = "#signature AAAA\n";
    const struct {
        std::string text;
        uint64_t serial;
    } cases[] = {
        {"", 0},
        {record + signature, 0},
        {record + "#serial 1\n" + signature, 1},
        {record + "#serial 1796804376\r\n" + signature, 1796804376},
        {"#serial 42\n" + record, 42},
        {record + "#serial 42", 42},
        {record + "#serial 9223372036854775807\n", 9223372036854775807ull},
        {record + "#serial 9223372036854775808\n", 0},
        {record + "#serial 18446744073709551615\n", 0},
        {record + "#serial 18446744073709551617\n", 0},
        {record + "#serial 99999999999999999999999\n", 0},
        {record + "#serial 0\n", 0},
        {record + "#serial 042\n", 0},
        {record + "#serial +42\n", 0},
        {record + "#serial -42\n", 0},
        {record + "#serial  42\n", 0},
        {record + "#serial 42 \n", 0},
        {record + "#serial 42\r\r\n", 0},
        {record + "#serial\t42\n", 0},
        {record + "#serial 4 2\n", 0},
        {record + "#serial 0x2A\n", 0},
        {record + "#serial\n", 0},
        {record + "#serial \n", 0},
        {record + "#serialnumber 42\n", 0},
        {record + "#serial 42\n#serial 42\n", 0},
        {record + "#serial 42\n#serial x\n", 0},
        {record + std::string("#serial 4\0002\n", 13), 0},
        {record + " #serial 42\n", 0},
        {record + "# serial 42\n" + "#serial 7\n", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseManifestSerial(c.text), c.serial);
    }
}

TEST_F(SignedManifestTest, KeyedLauncherNeverActsOnAManifestOfALowerSerialThanOneItAccepted)
{
    const TempDirectory install;
    const struct {
        const wchar_t* site;
        std::wstring heading;  // NotAuthentic: refused
    } steps[] = {
        {L"serial-1002", Updated},
        {L"serial-1001", NotAuthentic},
        {L"serial-1002", AllCurrent},
        {L"serial-1003", Updated},
        {L"serial-1002", NotAuthentic},
        {L"serial-1001", NotAuthentic},
        {L"serial-1003", AllCurrent},
    };
    std::string installed;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.site);
        const size_t requestsBefore = server.RequestedPaths().size();
        GameAvailable = false;
        const std::string manifest = RunSite(install, step.site);

        ASSERT_GE(recorder.Log().size(), 3u);
        EXPECT_EQ(recorder.Log().end()[-2], step.heading);
        EXPECT_EQ(recorder.Log().back(), L"done");
        EXPECT_TRUE(GameAvailable);
        if (step.heading == NotAuthentic) {
            EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, NotAuthentic, L"done"}));
        } else {
            installed = manifest;
        }
        ExpectInstalled(installed);
        if (step.heading != Updated) {
            EXPECT_EQ(RequestsSince(requestsBefore), (std::vector<std::string>{"/launcher/manifest.txt"}));
        }
    }
}

TEST_F(SignedManifestTest, OnAFreshOrDamagedRecordOnlyASerialAtLeastTheBuiltInMinimumIsActedOn)
{
    ASSERT_EQ(BuiltInMinimumSerial, 1000);
    const struct {
        const char* name;
        const wchar_t* site;
        const char* record;  // launcher.serial before the run, or none
        bool accepted;
        bool readOnlyRecord = false;
        bool recordPast2GiB = false;
    } cases[] = {
        {"below the built-in minimum", L"serial-999", nullptr, false},
        {"signed without a serial", L"no-serial", nullptr, false},
        {"just above the built-in minimum", L"serial-1001", nullptr, true},
        {"below the recorded serial", L"serial-1001", "1002", false},
        {"equal to the recorded serial", L"serial-1001", "1001", true},
        {"an unreadable record counts as none", L"serial-1001", "1002 and more", true},
        {"a record of 0 leaves the built-in minimum", L"serial-999", "0", false},
        {"a read-only record is raised", L"serial-1002", "1001", true, true},
        {"a record too long to be read counts as none", L"serial-1001", "1002", true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDirectory install;
        if (c.record)
            WriteFileBytes(install / ManifestSerialFileName, c.record);
        if (c.readOnlyRecord) {
            ASSERT_TRUE(SetFileAttributesW((install / ManifestSerialFileName).c_str(), FILE_ATTRIBUTE_READONLY));
        }
        if (c.recordPast2GiB) {
            const UniqueFile record(CreateFileW((install / ManifestSerialFileName).c_str(), GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
            LARGE_INTEGER end = {};
            end.QuadPart = 1ll << 31;
            ASSERT_TRUE(SetFilePointerEx(record.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(record.get()));
        }
        const size_t requestsBefore = server.RequestedPaths().size();
        GameAvailable = false;
        const std::string manifest = RunSite(install, c.site);

        if (c.accepted) {
            ASSERT_GE(recorder.Log().size(), 3u);
            EXPECT_EQ(recorder.Log().end()[-2], Updated);
            EXPECT_TRUE(GameAvailable);
            ExpectInstalled(manifest);
            EXPECT_EQ(ReadFileBytes(install / ManifestSerialFileName), std::to_string(ParseManifestSerial(manifest)));
        } else {
            EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, NotAuthentic, L"done"}));
            EXPECT_FALSE(GameAvailable);
            EXPECT_FALSE(FileExists(LocalPathFor("Brann.exe")));
            EXPECT_EQ(RequestsSince(requestsBefore), (std::vector<std::string>{"/launcher/manifest.txt"}));
            EXPECT_EQ(ReadFileBytes(install / ManifestSerialFileName), c.record ? c.record : "");
        }
    }
}

TEST_F(SignedManifestTest, SerialIsRecordedBeforeAnyFileSoAFailedRunStillNeverGoesBack)
{
    const TempDirectory install;
    RunSite(install, L"serial-1002");
    ASSERT_EQ(recorder.Log().end()[-2], Updated);

    server.SetFaults(R"({"/launcher/files/Brann.exe": {"status": 404}})");
    RunSite(install, L"serial-1003");
    EXPECT_EQ(recorder.Log().end()[-2], DownloadFailed);
    server.SetFaults("{}");

    RunSite(install, L"serial-1002");
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, NotAuthentic, L"done"}));
    EXPECT_TRUE(GameAvailable);
}

TEST_F(SignedManifestTest, HeldRecordIsWaitedForAndNeverTakenForNoneAndOneHeldForGoodFailsTheRunNamingIt)
{
    constexpr DWORD ScanMs = 1500;
    const std::wstring RecordFailed = L"status:Falha ao baixar um arquivo. Tente de novo.|launcher.serial";
    const struct {
        const char* name;
        const char* record;
        const wchar_t* site;
        DWORD share;   // what the holder lets others do
        DWORD holdMs;  // INFINITE: past the run
        std::wstring heading;
        const char* recordAfter;
    } cases[] = {
        {"held for a moment, a lower serial", "1002", L"serial-1001", 0, ScanMs, NotAuthentic, "1002"},
        {"held for good, not even read", "1002", L"serial-1001", 0, INFINITE, RecordFailed, "1002"},
        {"held for good, sharing reading", "1001", L"serial-1002", FILE_SHARE_READ, INFINITE, RecordFailed, "1001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDirectory install;
        const std::wstring recordPath = install / ManifestSerialFileName;
        WriteFileBytes(recordPath, c.record);
        UniqueFile scanner(CreateFileW(recordPath.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(scanner);
        std::thread letGo;
        if (c.holdMs != INFINITE) {
            letGo = std::thread([&] {
                Sleep(c.holdMs);
                scanner.Close();
            });
        }
        const size_t requestsBefore = server.RequestedPaths().size();
        GameAvailable = false;
        const Stopwatch stopwatch;
        RunSite(install, c.site);
        const double elapsedMs = stopwatch.ElapsedMs();
        if (letGo.joinable())
            letGo.join();
        scanner.Close();

        EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{Searching, c.heading, L"done"}));
        EXPECT_FALSE(GameAvailable);
        EXPECT_EQ(RequestsSince(requestsBefore), (std::vector<std::string>{"/launcher/manifest.txt"}));
        if (c.holdMs == INFINITE) {
            EXPECT_GE(elapsedMs, BusyFileRetryLimitMs - 50);
            EXPECT_LT(elapsedMs, HeldFileFailsWithinMs);
        }
        EXPECT_EQ(ReadFileBytes(recordPath), c.recordAfter);
        EXPECT_FALSE(FileExists(install / L"launcher.serial.download"));
    }
}

namespace {

// What a signature vouches for: every byte before the last line.
std::string BeforeLastLine(std::string text)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    const size_t lineEnd = text.rfind('\n');
    return lineEnd == std::string::npos ? std::string() : text.substr(0, lineEnd + 1);
}

// The lines that a serial may be read from: those beginning with "#serial", without their "\r".
std::vector<std::string> SerialLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("#serial", 0) == 0)
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

TEST(ManifestSignature, MutatedSignedManifestsNeverCrashAreAuthenticOnlyWithTheSignedBytesUnchangedAndReadOnlyTheirOneSerialLine)
{
    constexpr int Rounds = 20000;  // per seed
    const std::string signedText = ReadFileBytes(TestServer::SignedSite(L"built-in") + L"\\manifest.txt");
    ASSERT_TRUE(!signedText.empty() && signedText.back() == '\n');
    // One seed per form of signed manifest: as the tool writes it, and with CR LF after the signature.
    const std::vector<std::string> seeds = {
        signedText,
        signedText.substr(0, signedText.size() - 1) + "\r\n",
    };
    std::mt19937 random(20261209);
    int authentic = 0;
    for (const std::string& seed : seeds) {
        ASSERT_TRUE(ManifestIsAuthentic(seed)) << seed;
        ASSERT_NE(ParseManifestSerial(seed), 0u) << seed;
        const std::string vouchedFor = BeforeLastLine(seed);
        for (int round = 0; round < Rounds; ++round) {
            const std::string text = MutatedCopy(seed, random);
            // A serial is read only from the one line that says exactly that serial.
            if (const uint64_t serial = ParseManifestSerial(text)) {
                ASSERT_EQ(SerialLines(text), std::vector<std::string>{"#serial " + std::to_string(serial)}) << text;
            }
            if (!ManifestIsAuthentic(text))
                continue;
            ++authentic;
            ASSERT_EQ(BeforeLastLine(text), vouchedFor) << text;
        }
    }
    // Changes that only touch the signature line's end keep it authentic: the check above ran.
    EXPECT_GT(authentic, 0);
}
