#pragma once

#include <windows.h>

#include <memory>
#include <string>

// wParam and lParam each own a heap std::wstring (heading, detail); the window frees both.
constexpr UINT WM_LAUNCHER_STATUS = WM_APP + 1;
// wParam is the progress position, 0 to 1000.
constexpr UINT WM_LAUNCHER_PROGRESS = WM_APP + 2;
// The run is over; GameAvailable holds its final value.
constexpr UINT WM_LAUNCHER_DONE = WM_APP + 3;

// Worker side: each returns at once; nothing waits for the window.
void PostStatus(const std::wstring& heading, const std::wstring& detail);
void PostProgress(int position);
void PostDone();

// Window side: takes ownership of the two texts that a WM_LAUNCHER_STATUS carries.
struct StatusTexts {
    std::unique_ptr<std::wstring> heading;
    std::unique_ptr<std::wstring> detail;
};
StatusTexts TakeStatusTexts(WPARAM wParam, LPARAM lParam);
