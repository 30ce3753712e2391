#pragma once

#include <windows.h>

#include <atomic>
#include <string>

// Compiled-in constants.
extern const wchar_t* const UpdateServerHost;
extern const WORD UpdateServerPort;            // 443 in the shipped build
extern const wchar_t* const UpdateBasePath;      // "/launcher/"
extern const wchar_t* const GameExecutableName;  // "Brann.exe"
extern const wchar_t* const WindowTitle;         // "Tolmek Brann - Launcher"
extern const wchar_t* const PublisherAddress;    // ends the credit line and the shortcut description

// Written by start-up on the main thread before the worker exists, read-only afterwards.
extern std::wstring& InstallDirectory;
extern HFONT TitleFont;
extern HFONT BodyFont;
extern HBRUSH BackgroundBrush;
extern HWND MainWindow;
extern HWND StatusLabel;
extern HWND ProgressBar;
extern HWND DetailLabel;
extern HWND PlayButton;

// Stored once by the update run before it posts WM_LAUNCHER_DONE.
extern std::atomic<bool> GameAvailable;
