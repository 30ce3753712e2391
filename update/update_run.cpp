#include "update/update_run.h"

#include "app/launcher_state.h"
#include "app/worker_messages.h"
#include "platform/http_client.h"
#include "update/download.h"
#include "update/launcher_cache.h"
#include "update/leftover_downloads.h"
#include "update/local_file_check.h"
#include "update/manifest.h"
#include "update/manifest_serial.h"
#include "update/manifest_signature.h"

namespace {

constexpr wchar_t FileFailedHeading[] = L"Falha ao baixar um arquivo. Tente de novo.";

// Far above any real game's manifest, and small enough to hold in memory on any player's machine.
constexpr uint64_t ManifestSizeLimit = 64ull * 1024 * 1024;

// Nothing is checked or downloaded; an installed game may still be played.
void EndWithoutManifest(const wchar_t* heading, const wchar_t* detail)
{
    PostStatus(heading, detail);
    const std::wstring gamePath = InstallDirectory + L"\\" + GameExecutableName;
    GameAvailable.exchange(GetFileAttributesW(gamePath.c_str()) != INVALID_FILE_ATTRIBUTES);
    PostDone();
}

void RunSteps()
{
    HttpClient client;
    PostStatus(L"Procurando atualizacoes...", L"");

    std::string manifestText;
    if (!client.Get(std::wstring(UpdateBasePath) + L"manifest.txt", manifestText, ManifestSizeLimit)) {
        EndWithoutManifest(L"Nao foi possivel falar com o servidor.",
                           L"Verifique sua internet. Se ja tiver o jogo instalado, pode jogar mesmo assim.");
        return;
    }
    const std::wstring serialPath = InstallDirectory + L"\\" + ManifestSerialFileName;
    const SerialVerdict serial =
        ManifestIsAuthentic(manifestText) ? AcceptManifestSerial(manifestText, serialPath) : SerialVerdict::Refused;
    if (serial == SerialVerdict::Refused) {
        EndWithoutManifest(L"A atualizacao recebida nao e autentica.",
                           L"Se ja tiver o jogo instalado, pode jogar mesmo assim.");
        return;
    }
    // A record the launcher cannot read or write must show, not quietly stop guarding against rollback.
    if (serial == SerialVerdict::RecordFailed) {
        PostStatus(FileFailedHeading, ManifestSerialFileName);
        PostDone();
        return;
    }
    const std::vector<ManifestEntry> entries = ParseManifest(manifestText);
    DeleteLeftoverDownloads(entries);
    const std::wstring cachePath = InstallDirectory + L"\\launcher.cache";
    LauncherCache cache = LoadLauncherCache(cachePath);

    DownloadList downloadList;
    uint64_t downloadTotal = 0;
    CheckLocalFiles(entries, cache, downloadList, downloadTotal);
    if (!downloadList.empty() && !DownloadFiles(entries, downloadList, downloadTotal, client, cache))
        return;  // the failure is reported; this run's cache changes are dropped

    SaveLauncherCache(cachePath, cache);
    PostProgress(1000);
    const std::wstring credit = std::wstring(L"Desenvolvido por ") + PublisherAddress;
    PostStatus(downloadList.empty() ? L"Tudo atualizado. Boa guerra!" : L"Atualizado! Boa guerra!", credit);
    GameAvailable.exchange(true);
    PostDone();
}

}  // namespace

void UpdateRun()
{
    // An exception here would end the process with the window still waiting: it ends the run like a
    // failed download instead.
    try {
        RunSteps();
    } catch (...) {
        PostStatus(FileFailedHeading, L"");
        PostDone();
    }
}
