#include "tests/support/test_server.h"

#include "platform/sha256.h"
#include "platform/text.h"
#include "tests/support/test_files.h"
#include "update/manifest.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

std::wstring EnvironmentText(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::wstring WindowsPath(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

const std::wstring PortSuffix = std::to_wstring(TestServer::TrustedPort);

}  // namespace

TestServer::TestServer()
    : root_(EnvironmentText(L"TB_SERVER_ROOT")), state_(EnvironmentText(L"TB_SERVER_STATE"))
{
    Clear();
}

TestServer::~TestServer()
{
    Clear();
}

void TestServer::Clear()
{
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(root_ + L"\\launcher"), ignored);
    std::filesystem::create_directories(std::filesystem::path(root_ + L"\\launcher\\files"), ignored);
    WriteFileBytes(state_ + L"\\faults-" + PortSuffix + L".json", "{}");
    WriteFileBytes(state_ + L"\\requests-" + PortSuffix + L".log", "");
}

void TestServer::PutManifest(const std::string& text)
{
    WriteFileBytes(root_ + L"\\launcher\\manifest.txt", text);
}

void TestServer::PutFile(const std::string& relativePath, const std::string& bytes)
{
    const std::wstring path = WindowsPath(root_ + L"\\launcher\\files\\" + Utf8ToWide(relativePath));
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    WriteFileBytes(path, bytes);
}

std::string TestServer::PutSite(const std::wstring& launcherFolder)
{
    const std::string manifest = ReadFileBytes(launcherFolder + L"\\manifest.txt");
    PutManifest(manifest);
    for (const ManifestEntry& entry : ParseManifest(manifest))
        PutFile(entry.path, ReadFileBytes(WindowsPath(launcherFolder + L"\\files\\" + Utf8ToWide(entry.path))));
    return manifest;
}

void TestServer::SetFaults(const std::string& json)
{
    WriteFileBytes(state_ + L"\\faults-" + PortSuffix + L".json", json);
}

std::vector<std::string> TestServer::RequestLog() const
{
    std::istringstream log(ReadFileBytes(state_ + L"\\requests-" + PortSuffix + L".log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> TestServer::RequestedPaths() const
{
    std::vector<std::string> paths;
    for (const std::string& line : RequestLog()) {
        const size_t start = line.find(' ') + 1;
        paths.push_back(line.substr(start, line.find(' ', start) - start));
    }
    return paths;
}

std::string TestServer::Sha256Of(const std::string& bytes)
{
    Sha256 hash;
    hash.Update(bytes.data(), static_cast<unsigned long>(bytes.size()));
    return hash.Finish();
}

std::wstring TestServer::SignedSite(const std::wstring& name)
{
    return EnvironmentText(L"TB_SIGNED_MANIFESTS") + L"\\" + name + L"-site\\launcher";
}

std::string TestServer::ManifestLine(const std::string& bytes, const std::string& relativePath)
{
    return Sha256Of(bytes) + " " + std::to_string(bytes.size()) + " " + relativePath + "\n";
}
