#include "platform/file_digest.h"

#include "platform/handles.h"
#include "platform/sha256.h"

#include <vector>

constexpr DWORD ReadBlockSize = 1 << 20;

std::string FileSha256(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return std::string();

    Sha256 hash;
    std::vector<unsigned char> block(ReadBlockSize);
    for (;;) {
        DWORD bytesRead = 0;
        // A digest of part of the file would describe no file at all.
        if (!ReadFile(file.get(), block.data(), ReadBlockSize, &bytesRead, nullptr))
            return std::string();
        if (bytesRead == 0)
            break;
        hash.Update(block.data(), bytesRead);
    }
    return hash.Finish();
}
