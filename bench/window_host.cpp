#include "bench/window_host.h"

#include "app/launcher_state.h"
#include "app/main_window.h"
#include "tests/support/stopwatch.h"
#include "platform/handles.h"

#include <commctrl.h>

namespace {

struct WorkerJob {
    const std::function<void()>* job;
    double elapsedMs;
};

DWORD WINAPI RunJob(void* parameter)
{
    auto* work = static_cast<WorkerJob*>(parameter);
    const Stopwatch stopwatch;
    (*work->job)();
    work->elapsedMs = stopwatch.ElapsedMs();
    return 0;
}

void DispatchPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

WindowHost::WindowHost()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    if (CreateMainWindow(GetModuleHandleW(nullptr)))
        ShowWindow(MainWindow, SW_SHOWNOACTIVATE);
}

WindowHost::~WindowHost()
{
    if (MainWindow)
        DestroyWindow(MainWindow);
    DispatchPending();
}

bool WindowHost::Ready() const
{
    return MainWindow != nullptr;
}

double WindowHost::TimeOnWorker(const std::function<void()>& job)
{
    WorkerJob work{&job, -1.0};
    const UniqueHandle worker(CreateThread(nullptr, 0, RunJob, &work, 0, nullptr));
    if (!worker)
        return -1.0;
    HANDLE handle = worker.get();
    constexpr DWORD MessagesArrived = WAIT_OBJECT_0 + 1;
    while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT) == MessagesArrived)
        DispatchPending();
    // The worker's last posts may still be queued; they carry texts the window must free.
    DispatchPending();
    return work.elapsedMs;
}
