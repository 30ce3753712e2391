#include "app/launcher_state.h"

#include "build_config.h"

const wchar_t* const UpdateServerHost = LAUNCHER_UPDATE_HOST;
const WORD UpdateServerPort = LAUNCHER_UPDATE_PORT;
const wchar_t* const UpdateBasePath = L"/launcher/";
const wchar_t* const GameExecutableName = L"Brann.exe";
const wchar_t* const WindowTitle = L"Tolmek Brann - Launcher";
const wchar_t* const PublisherAddress = L"www.tolmekbrann.com.br";

// Never destroyed: an abandoned worker may still read it while the process ends.
std::wstring& InstallDirectory = *new std::wstring;

HFONT TitleFont = nullptr;
HFONT BodyFont = nullptr;
HBRUSH BackgroundBrush = nullptr;
HWND MainWindow = nullptr;
HWND StatusLabel = nullptr;
HWND ProgressBar = nullptr;
HWND DetailLabel = nullptr;
HWND PlayButton = nullptr;

std::atomic<bool> GameAvailable{false};
