#include "update/update_run.h"

#include "app/launcher_state.h"
#include "app/worker_messages.h"
#include "platform/http_client.h"
#include "update/download.h"
#include "update/launcher_cache.h"
#include "update/local_file_check.h"
#include "update/manifest.h"
#include "update/manifest_signature.h"

static void ReportServerUnreachable()
{
    PostStatus(L"Nao foi possivel falar com o servidor.",
               L"Verifique sua internet. Se ja tiver o jogo instalado, pode jogar mesmo assim.");
    // Without a connection an installed game may still be played.
    const std::wstring gamePath = InstallDirectory + L"\\" + GameExecutableName;
    GameAvailable.exchange(GetFileAttributesW(gamePath.c_str()) != INVALID_FILE_ATTRIBUTES);
    PostDone();
}

// As after a failed fetch: nothing is checked or downloaded, and an installed game may still be played.
static void ReportManifestNotAuthentic()
{
    PostStatus(L"A atualizacao recebida nao e autentica.", L"Se ja tiver o jogo instalado, pode jogar mesmo assim.");
    const std::wstring gamePath = InstallDirectory + L"\\" + GameExecutableName;
    GameAvailable.exchange(GetFileAttributesW(gamePath.c_str()) != INVALID_FILE_ATTRIBUTES);
    PostDone();
}

void UpdateRun()
{
    HttpClient client;
    PostStatus(L"Procurando atualizacoes...", L"");

    std::string manifestText;
    if (!client.Get(std::wstring(UpdateBasePath) + L"manifest.txt", manifestText)) {
        ReportServerUnreachable();
        return;
    }
    if (!ManifestIsAuthentic(manifestText)) {
        ReportManifestNotAuthentic();
        return;
    }
    const std::vector<ManifestEntry> entries = ParseManifest(manifestText);
    const std::wstring cachePath = InstallDirectory + L"\\launcher.cache";
    LauncherCache cache = LoadLauncherCache(cachePath);

    DownloadList downloadList;
    uint64_t downloadTotal = 0;
    CheckLocalFiles(entries, cache, downloadList, downloadTotal);
    if (!downloadList.empty() && !DownloadFiles(downloadList, downloadTotal, client, cache))
        return;  // the failure is reported; this run's cache changes are dropped

    SaveLauncherCache(cachePath, cache);
    PostProgress(1000);
    const std::wstring credit = std::wstring(L"Desenvolvido por ") + PublisherAddress;
    PostStatus(downloadList.empty() ? L"Tudo atualizado. Boa guerra!" : L"Atualizado! Boa guerra!", credit);
    GameAvailable.exchange(true);
    PostDone();
}
