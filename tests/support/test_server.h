#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The HTTPS test server that CTest starts on loopback. A test lays out the files it serves, sets
// faults per URL path and reads the request log, all through Wine's drive for "/".
class TestServer {
public:
    static constexpr WORD TrustedPort = 8443;    // the dev build's compiled-in port
    static constexpr WORD UntrustedPort = 8444;  // same server, certificate of an unknown authority
    static constexpr WORD ClosedPort = 8449;     // nothing listens there

    // Starts from an empty site, no faults and an empty log.
    TestServer();
    ~TestServer();

    void PutManifest(const std::string& text);
    // `relativePath` is the manifest's UTF-8 path below launcher/files/.
    void PutFile(const std::string& relativePath, const std::string& bytes);
    // Serves what the publisher's tool wrote into a site's "launcher" folder: its manifest, and the
    // file of every manifest entry. Returns the manifest.
    std::string PutSite(const std::wstring& launcherFolder);
    // A JSON object from URL path (as requested) to fault, e.g. {"/launcher/manifest.txt": {"status": 404}}.
    void SetFaults(const std::string& json);

    // Every request line as received, then a tab and the user agent.
    std::vector<std::string> RequestLog() const;
    // Just the request targets, e.g. "/launcher/manifest.txt".
    std::vector<std::string> RequestedPaths() const;

    // The manifest line of a file served with these bytes.
    static std::string ManifestLine(const std::string& bytes, const std::string& relativePath);
    static std::string Sha256Of(const std::string& bytes);
    // The "launcher" folder of a small game that the publisher's tool published at configure time,
    // signed with the test manifest key (L"built-in") or with another one (L"other"); or of one
    // signed with the test key under a given serial (L"serial-1002") or without one (L"no-serial").
    static std::wstring SignedSite(const std::wstring& name);

private:
    void Clear();
    std::wstring root_;
    std::wstring state_;
};
