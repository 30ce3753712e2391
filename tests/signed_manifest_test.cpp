// The update run of a launcher built with a manifest key. The key pairs, and the manifests signed
// with them, come from the publisher's tool (tests/CMakeLists.txt).
#include "app/launcher_state.h"
#include "platform/paths.h"
#include "tests/support/message_recorder.h"
#include "tests/support/mutation.h"
#include "tests/support/test_files.h"
#include "tests/support/test_server.h"
#include "update/manifest.h"
#include "update/manifest_signature.h"
#include "update/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

const std::wstring Searching = L"status:Procurando atualizacoes...|";
const std::wstring NotAuthentic =
    L"status:A atualizacao recebida nao e autentica.|Se ja tiver o jogo instalado, pode jogar mesmo assim.";
const std::wstring Updated = L"status:Atualizado! Boa guerra!|Desenvolvido por www.tolmekbrann.com.br";
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

    std::vector<std::string> RequestsSince(size_t count) const
    {
        const std::vector<std::string> paths = server.RequestedPaths();
        return std::vector<std::string>(paths.begin() + std::min(count, paths.size()), paths.end());
    }

    TestServer server;
    MessageRecorder recorder;
};

}  // namespace

TEST_F(SignedManifestTest, OnlyAManifestWhoseLastLineIsTheBuiltInKeysSignatureIsActedOn)
{
    const std::string signedText = ReadFileBytes(TestServer::SignedSite(L"built-in") + L"\\manifest.txt");
    const std::string byOtherKey = ReadFileBytes(TestServer::SignedSite(L"other") + L"\\manifest.txt");
    const size_t line = signedText.rfind(SignaturePrefix);
    ASSERT_NE(line, std::string::npos);
    ASSERT_EQ(signedText.back(), '\n');
    const std::string body = signedText.substr(0, line);
    const std::string base64 = signedText.substr(line + SignaturePrefix.size(), 88);
    ASSERT_EQ(signedText.substr(line), SignaturePrefix + base64 + "\n");
    ASSERT_EQ(byOtherKey.substr(0, line), body);
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

namespace {

// What a signature vouches for: every byte before the last line.
std::string BeforeLastLine(std::string text)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    const size_t lineEnd = text.rfind('\n');
    return lineEnd == std::string::npos ? std::string() : text.substr(0, lineEnd + 1);
}

}  // namespace

TEST(ManifestSignature, MutatedSignedManifestsNeverCrashAndAreAuthenticOnlyWithTheSignedBytesUnchanged)
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
        const std::string vouchedFor = BeforeLastLine(seed);
        for (int round = 0; round < Rounds; ++round) {
            const std::string text = MutatedCopy(seed, random);
            if (!ManifestIsAuthentic(text))
                continue;
            ++authentic;
            ASSERT_EQ(BeforeLastLine(text), vouchedFor) << text;
        }
    }
    // Changes that only touch the signature line's end keep it authentic: the check above ran.
    EXPECT_GT(authentic, 0);
}
