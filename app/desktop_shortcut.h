#pragma once

#include <string>

// Puts "Tolmek Brann.lnk" on the user's desktop, pointing at `target`, unless anything of that name
// is there already. Every failure is silent; the next start tries again.
void CreateDesktopShortcut(const std::wstring& target);
