#include "app/game_launch.h"

#include "app/launcher_state.h"
#include "platform/handles.h"

#include <windows.h>

void LaunchGame()
{
    const std::wstring gamePath = InstallDirectory + L"\\" + GameExecutableName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(gamePath.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, InstallDirectory.c_str(),
                        &startup, &process)) {
        MessageBoxW(MainWindow, L"Nao foi possivel abrir o Brann.exe.", WindowTitle, MB_OK | MB_ICONERROR);
        SetFocus(PlayButton);  // the dialog took the focus; the player's next Enter tries again
        return;
    }
    // The launcher does not wait for the game.
    UniqueHandle thread(process.hThread);
    UniqueHandle game(process.hProcess);
    PostQuitMessage(0);
}
