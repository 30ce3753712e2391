#include "app/launcher_state.h"
#include "app/worker_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Counts live heap blocks, so a lost status text shows as a block that never comes back.
static std::atomic<long> LiveAllocations{0};

void* operator new(size_t size)
{
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    ++LiveAllocations;
    return block;
}

void operator delete(void* block) noexcept
{
    if (!block)
        return;
    --LiveAllocations;
    std::free(block);
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

namespace {

std::vector<std::wstring> Received;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_LAUNCHER_STATUS: {
        const StatusTexts texts = TakeStatusTexts(wParam, lParam);
        Received.push_back(L"status:" + *texts.heading + L"|" + *texts.detail);
        return 0;
    }
    case WM_LAUNCHER_PROGRESS:
        Received.push_back(L"progress:" + std::to_wstring(static_cast<int>(wParam)));
        return 0;
    case WM_LAUNCHER_DONE:
        Received.push_back(L"done");
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window stands in for the main window: Wine offers no top-level window without a display.
HWND CreateRecordingWindow()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"WorkerMessagesTest";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, L"WorkerMessagesTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

void PumpUntilDone()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
        if (message.message == WM_LAUNCHER_DONE)
            return;
    }
}

}  // namespace

TEST(WorkerMessages, PostsFromAWorkerThreadArriveInPostingOrder)
{
    MainWindow = CreateRecordingWindow();
    ASSERT_NE(MainWindow, nullptr);
    Received.clear();

    std::thread worker([] {
        PostStatus(L"Procurando atualizacoes...", L"");
        for (int position = 0; position <= 1000; position += 250)
            PostProgress(position);
        PostStatus(L"", L"sons/A\u00E7\u00E3o 1.ogg");
        PostProgress(1200);
        PostStatus(L"Tudo atualizado. Boa guerra!", L"Desenvolvido por www.tolmekbrann.com.br");
        PostDone();
    });
    PumpUntilDone();
    worker.join();

    const std::vector<std::wstring> expected = {
        L"status:Procurando atualizacoes...|",
        L"progress:0",
        L"progress:250",
        L"progress:500",
        L"progress:750",
        L"progress:1000",
        L"status:|sons/A\u00E7\u00E3o 1.ogg",
        L"progress:1200",
        L"status:Tudo atualizado. Boa guerra!|Desenvolvido por www.tolmekbrann.com.br",
        L"done",
    };
    EXPECT_EQ(Received, expected);
    DestroyWindow(MainWindow);
    MainWindow = nullptr;
}

TEST(WorkerMessages, StatusCopiesAreFreedByTheWindowOrByTheSenderWhenPostingFails)
{
    const std::wstring heading = L"Falha ao baixar um arquivo. Tente de novo.";
    const std::wstring detail = L"maps/um caminho bem comprido/arquivo.dat";
    auto forgetReceived = [] {
        Received.clear();
        Received.shrink_to_fit();
    };

    MainWindow = CreateRecordingWindow();
    ASSERT_NE(MainWindow, nullptr);
    forgetReceived();
    const long before = LiveAllocations;
    PostStatus(heading, detail);
    EXPECT_GT(LiveAllocations, before) << "a posted status owns its copies until the window frees them";
    PostDone();
    PumpUntilDone();
    forgetReceived();
    EXPECT_EQ(LiveAllocations, before);

    DestroyWindow(MainWindow);
    const long afterDestroy = LiveAllocations;
    PostStatus(heading, detail);
    EXPECT_EQ(LiveAllocations, afterDestroy);
    MainWindow = nullptr;
}
