#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <winhttp.h>

#include <memory>
#include <utility>

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
class UniqueFile {
public:
    explicit UniqueFile(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    UniqueFile(UniqueFile&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
    UniqueFile& operator=(UniqueFile&&) = delete;
    ~UniqueFile() { Close(); }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
    // For callers that must close before they move or delete the file.
    void Close()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(std::exchange(h_, INVALID_HANDLE_VALUE));
    }

private:
    HANDLE h_;
};

// Process and thread handles, whose failure value is null.
struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct InternetCloser {
    void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
};
using UniqueInternet = std::unique_ptr<void, InternetCloser>;

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE h) const { BCryptDestroyHash(h); }
};
struct KeyDestroyer {
    void operator()(BCRYPT_KEY_HANDLE h) const { BCryptDestroyKey(h); }
};
using UniqueAlgorithm = std::unique_ptr<void, AlgorithmCloser>;
using UniqueHash = std::unique_ptr<void, HashDestroyer>;
using UniqueKey = std::unique_ptr<void, KeyDestroyer>;

// FindFirstFileExW reports failure as INVALID_HANDLE_VALUE and is closed with FindClose.
class UniqueFind {
public:
    explicit UniqueFind(HANDLE h) : h_(h) {}
    UniqueFind(const UniqueFind&) = delete;
    UniqueFind& operator=(const UniqueFind&) = delete;
    ~UniqueFind()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            FindClose(h_);
    }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};
