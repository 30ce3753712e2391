#pragma once

#include "platform/handles.h"

#include <cstdint>
#include <functional>
#include <string>

// The one connection of an update run to the update server: HTTPS, GET only, status 200 only. A server
// that stops answering fails the request after at most 30 s of silence (60 s to connect).
class HttpClient {
public:
    // The compiled-in update server.
    HttpClient();
    HttpClient(const std::wstring& host, INTERNET_PORT port);

    // True only when the whole body arrived with status 200 and holds at most `maxBytes`, whether
    // announced or received; the body is appended to `body`.
    bool Get(const std::wstring& urlPath, std::string& body, uint64_t maxBytes = UINT64_MAX);

    // Hands the body to `onChunk` as it arrives, one read of at most 64 KiB at a time; `onChunk`
    // returns false to give up. True only when status 200 and the whole body, of at most `maxBytes`,
    // went through.
    using ChunkSink = std::function<bool(const char* data, DWORD size)>;
    bool Stream(const std::wstring& urlPath, const ChunkSink& onChunk, uint64_t maxBytes = UINT64_MAX);

private:
    UniqueInternet OpenSucceededRequest(const std::wstring& urlPath);

    // Declared in this order so the connection is closed before the root handle.
    UniqueInternet root_;
    UniqueInternet connection_;
};
