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
    // Quoted, so a blank in the profile path cannot split the game's argv[0]; CreateProcessW may
    // write into the command line, so it is a buffer of our own.
    std::wstring commandLine = L"\"" + gamePath + L"\"";
    // A second click already queued must find the button disabled.
    EnableWindow(PlayButton, FALSE);
    if (!CreateProcessW(gamePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        InstallDirectory.c_str(), &startup, &process)) {
        MessageBoxW(MainWindow, L"Nao foi possivel abrir o Brann.exe.", WindowTitle, MB_OK | MB_ICONERROR);
        EnableWindow(PlayButton, TRUE);
        SetFocus(PlayButton);  // the dialog took the focus; the player's next Enter tries again
        return;
    }
    // The launcher does not wait for the game.
    UniqueHandle thread(process.hThread);
    UniqueHandle game(process.hProcess);
    PostQuitMessage(0);
}
