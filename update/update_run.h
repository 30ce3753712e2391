#pragma once

// The worker thread's one pass: manifest, check, download, cache, and the final word to the window.
// Posts exactly one WM_LAUNCHER_DONE, as its last message, however it ends.
void UpdateRun();
