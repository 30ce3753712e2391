#include <windows.h>

// Placeholder entry until the window and the update run are wired in.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return 0;
}
