#pragma once

// WinHTTP, the common controls and CNG are not KnownDLLs: as static imports Windows would look for
// them first in the launcher's own folder, which may be a player's Downloads. They are delay-loaded
// instead, and each of these loads its DLL from System32 alone, once per process, before the first
// call into it. False when it cannot be loaded: then no function of that DLL may be called, since
// the delay-load helper would raise an exception where the caller expects a failure to report.
bool LoadWinHttp();
bool LoadCommonControls();
bool LoadCng();
