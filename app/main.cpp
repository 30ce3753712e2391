#include "app/desktop_shortcut.h"
#include "app/installation.h"
#include "app/launcher_state.h"
#include "app/main_window.h"
#include "platform/handles.h"
#include "platform/system_library.h"
#include "update/launcher_replacement.h"
#include "update/update_run.h"

#include <windows.h>

#include <commctrl.h>

namespace {

// The self-copy reads and compares the launcher's image and the shortcut loads the shell, so both run
// here and not on the window's thread; before the run, which may replace the installed copy.
DWORD WINAPI UpdateWorker(void*)
{
    InstallSelf();
    CreateDesktopShortcut(InstalledLauncherPath());
    UpdateRun();
    return 0;
}

int FailToStart()
{
    MessageBoxW(nullptr, L"Nao foi possivel iniciar o launcher.", WindowTitle, MB_OK | MB_ICONERROR);
    return 1;
}

// The dialog first: the window's WM_DESTROY posts the quit message, which would close it at once.
int FailWithWindowShown()
{
    const int failed = FailToStart();
    DestroyWindow(MainWindow);
    return failed;
}

// After the window is up, so that the player sees it at once. False when there is no install directory.
bool Install()
{
    if (!PrepareInstallDirectory())
        return false;
    DeleteReplacedLauncher();
    return true;
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Dialog-style keys: the focused play button answers Enter and Space.
        if (IsDialogMessageW(MainWindow, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // Before any DLL is loaded on demand: from System32, never from the folder the launcher runs in.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    if (!LoadCommonControls())
        return FailToStart();
    InitCommonControlsEx(&controls);
    if (!CreateMainWindow(instance))
        return FailToStart();
    ShowWindow(MainWindow, showCommand);
    UpdateWindow(MainWindow);

    if (!Install())
        return FailWithWindowShown();

    // Never joined: closing the window abandons a run wherever it stands.
    UniqueHandle worker(CreateThread(nullptr, 0, UpdateWorker, nullptr, 0, nullptr));
    if (!worker)
        return FailWithWindowShown();
    worker.reset();
    RunMessageLoop();

    // End here and now: the worker may be anywhere in a download, and no teardown of this process
    // (static destructors, library detach) may run under it. Only a launcher replacing itself is
    // let finish, so that an installed launcher is always there.
    const LauncherReplacementBarrier barrier;
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
