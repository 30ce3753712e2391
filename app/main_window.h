#pragma once

#include <windows.h>

// Creates the drawing objects, the window class, MainWindow and its four controls (all stored in the
// launcher state). False when the class or the window cannot be created.
bool CreateMainWindow(HINSTANCE instance);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
