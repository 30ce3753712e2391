#include "platform/http_client.h"
#include "tests/support/test_files.h"
#include "tests/support/test_server.h"

#include <gtest/gtest.h>

TEST(HttpClient, EmptyBodyWithStatus200IsSuccess)
{
    TestServer server;
    server.PutManifest("");
    HttpClient client;
    std::string body;
    EXPECT_TRUE(client.Get(L"/launcher/manifest.txt", body));
    EXPECT_EQ(body, "");
    EXPECT_EQ(server.RequestLog(),
              std::vector<std::string>{"GET /launcher/manifest.txt HTTP/1.1\tTolmekBrannLauncher/1.0"});
}

TEST(HttpClient, BodyLongerThanOneReadArrivesWholeAndInOrder)
{
    TestServer server;
    const std::string big = PatternBytes(5 * 65536 + 123);
    server.PutFile("big.bin", big);
    HttpClient client;
    std::string body;
    ASSERT_TRUE(client.Get(L"/launcher/files/big.bin", body));
    EXPECT_EQ(body.size(), big.size());
    EXPECT_TRUE(body == big);

    std::vector<DWORD> chunkSizes;
    ASSERT_TRUE(client.Stream(L"/launcher/files/big.bin", [&](const char*, DWORD size) {
        chunkSizes.push_back(size);
        return true;
    }));
    EXPECT_GT(chunkSizes.size(), 1u);
    for (DWORD size : chunkSizes)
        EXPECT_LE(size, 65536u);
}

TEST(HttpClient, StatusOtherThan200FailsWithoutReadingTheBody)
{
    TestServer server;
    server.PutFile("gone.bin", "content that must not be read");
    server.SetFaults(R"({"/launcher/files/gone.bin": {"status": 404},
                         "/launcher/files/moved.bin": {"status": 301},
                         "/launcher/files/partial.bin": {"status": 206}})");
    HttpClient client;
    for (const wchar_t* path : {L"/launcher/files/gone.bin", L"/launcher/files/moved.bin",
                                L"/launcher/files/partial.bin", L"/launcher/files/missing.bin"}) {
        std::string body;
        bool chunkSeen = false;
        EXPECT_FALSE(client.Get(path, body)) << path;
        EXPECT_EQ(body, "") << path;
        EXPECT_FALSE(client.Stream(path, [&](const char*, DWORD) { return chunkSeen = true; })) << path;
        EXPECT_FALSE(chunkSeen) << path;
    }
}

TEST(HttpClient, BodyCutOffByTheServerIsAFailure)
{
    TestServer server;
    server.PutManifest(std::string(200000, 'm'));
    server.SetFaults(R"({"/launcher/manifest.txt": {"cut_after": 70000}})");
    HttpClient client;
    std::string body;
    EXPECT_FALSE(client.Get(L"/launcher/manifest.txt", body));
    EXPECT_LT(body.size(), 200000u);
}

TEST(HttpClient, SinkThatGivesUpEndsTheRequestAsFailure)
{
    TestServer server;
    server.PutFile("big.bin", PatternBytes(4 * 65536));
    HttpClient client;
    int chunks = 0;
    EXPECT_FALSE(client.Stream(L"/launcher/files/big.bin", [&](const char*, DWORD) { return ++chunks < 2; }));
    EXPECT_EQ(chunks, 2);
}

TEST(HttpClient, UnreachableServerFailsEveryRequest)
{
    HttpClient client(L"localhost", TestServer::ClosedPort);
    std::string body;
    EXPECT_FALSE(client.Get(L"/launcher/manifest.txt", body));
    EXPECT_FALSE(client.Get(L"/launcher/manifest.txt", body));
    EXPECT_EQ(body, "");
}

TEST(HttpClient, CertificateOfAnUntrustedAuthorityFailsTheRequest)
{
    TestServer server;
    server.PutManifest("served to nobody\n");
    HttpClient untrusted(L"localhost", TestServer::UntrustedPort);
    std::string body;
    EXPECT_FALSE(untrusted.Get(L"/launcher/manifest.txt", body));
    EXPECT_EQ(body, "");

    // The same content through the trusted twin proves only the certificate made the difference.
    HttpClient trusted;
    EXPECT_TRUE(trusted.Get(L"/launcher/manifest.txt", body));
    EXPECT_EQ(body, "served to nobody\n");
}

TEST(HttpClient, ConsecutiveRequestsOfOneClientAreServedInOrder)
{
    TestServer server;
    server.PutFile("a.txt", "first");
    server.PutFile("b c/\xC3\xA7.txt", "second");
    HttpClient client;
    std::string a, b;
    ASSERT_TRUE(client.Get(L"/launcher/files/a.txt", a));
    ASSERT_TRUE(client.Get(L"/launcher/files/b%20c/%C3%A7.txt", b));
    EXPECT_EQ(a + b, "firstsecond");
    EXPECT_EQ(server.RequestedPaths(),
              (std::vector<std::string>{"/launcher/files/a.txt", "/launcher/files/b%20c/%C3%A7.txt"}));
}
