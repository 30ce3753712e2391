#pragma once

// Starts InstallDirectory\Brann.exe there and ends the launcher's message loop; when the game cannot
// be started, says so in a dialog and the launcher stays as it was.
void LaunchGame();
