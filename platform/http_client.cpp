#include "platform/http_client.h"

#include "app/launcher_state.h"
#include "platform/system_library.h"

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD ReadBufferSize = 64 * 1024;
constexpr DWORD HttpStatusOk = 200;
const wchar_t* const UserAgent = L"TolmekBrannLauncher/1.0";

// Windows' documented defaults, stated outright: Wine leaves the TLS handshake and the wait for the
// response headers unlimited, where a server that accepts and then says nothing would hold the player
// for good. 0 leaves name resolution to the system resolver's own limit, as Windows does.
constexpr int ResolveTimeoutMs = 0;
constexpr int ConnectTimeoutMs = 60 * 1000;
constexpr int SendTimeoutMs = 30 * 1000;
constexpr int ReceiveTimeoutMs = 30 * 1000;
constexpr DWORD ReceiveResponseTimeoutMs = 30 * 1000;

// A platform that refuses one of them keeps its own; the requests work either way.
void StateTimeouts(HINTERNET root)
{
    WinHttpSetTimeouts(root, ResolveTimeoutMs, ConnectTimeoutMs, SendTimeoutMs, ReceiveTimeoutMs);
    DWORD receiveResponse = ReceiveResponseTimeoutMs;
    WinHttpSetOption(root, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveResponse, sizeof(receiveResponse));
}

// -1 when the server announced no length (a chunked body ends by itself).
long long AnnouncedLength(HINTERNET request)
{
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    wchar_t* end = nullptr;
    const long long length = std::wcstoll(text, &end, 10);
    return (end != text && *end == L'\0' && length >= 0) ? length : -1;
}

}  // namespace

HttpClient::HttpClient() : HttpClient(UpdateServerHost, UpdateServerPort) {}

HttpClient::HttpClient(const std::wstring& host, INTERNET_PORT port)
{
    // Without WinHTTP every request fails, as without a network.
    if (!LoadWinHttp())
        return;
    root_.reset(WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0));
    if (!root_)
        return;
    StateTimeouts(root_.get());
    connection_.reset(WinHttpConnect(root_.get(), host.c_str(), port, 0));
}

UniqueInternet HttpClient::OpenSucceededRequest(const std::wstring& urlPath)
{
    if (!connection_)
        return nullptr;
    UniqueInternet request(WinHttpOpenRequest(connection_.get(), L"GET", urlPath.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              WINHTTP_FLAG_SECURE));
    if (!request)
        return nullptr;
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return nullptr;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    if (status != HttpStatusOk)
        return nullptr;
    return request;
}

bool HttpClient::Stream(const std::wstring& urlPath, const ChunkSink& onChunk, uint64_t maxBytes)
{
    UniqueInternet request = OpenSucceededRequest(urlPath);
    if (!request)
        return false;
    const long long announced = AnnouncedLength(request.get());
    if (announced > 0 && static_cast<uint64_t>(announced) > maxBytes)
        return false;
    std::vector<char> buffer(ReadBufferSize);
    long long received = 0;
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), ReadBufferSize, &count))
            return false;
        if (count == 0)
            break;
        received += count;
        if (static_cast<uint64_t>(received) > maxBytes || !onChunk(buffer.data(), count))
            return false;
    }
    // A connection dropped early can look like a normal end; the announced length tells them apart.
    return announced < 0 || received == announced;
}

bool HttpClient::Get(const std::wstring& urlPath, std::string& body, uint64_t maxBytes)
{
    return Stream(
        urlPath,
        [&body](const char* data, DWORD size) {
            body.append(data, size);
            return true;
        },
        maxBytes);
}
