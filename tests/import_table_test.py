#!/usr/bin/env python3
"""The launcher's static imports are KnownDLLs only: Windows maps those from System32 whatever folder
the program runs in. Any other DLL it imported statically would be looked for first beside the
executable, which for a fresh download is the player's Downloads folder.

    import_table_test.py EXE OBJDUMP
"""

import re
import subprocess
import sys

# Windows' KnownDLLs (HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs), and
# ntdll, which every process has before anything is searched.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
}


def static_imports(exe, objdump):
    """Lowercase names of the DLLs in the exe's import table (its delay imports are not in it)."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    table = text.partition("The Import Tables")[2]
    table = re.split(r"^\S", table, maxsplit=1, flags=re.M)[0]  # up to the next section heading
    return sorted({name.lower() for name in re.findall(r"^\s+DLL Name: (\S+)$", table, flags=re.M)})


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    imports = static_imports(argv[1], argv[2])
    others = [name for name in imports if name not in KNOWN_DLLS]
    print("static imports:", " ".join(imports))
    if not imports or others:
        print("not KnownDLLs, so looked for beside the executable first:", " ".join(others) or "(no imports found)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
