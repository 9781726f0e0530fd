#!/bin/bash
# What we ship imports only Windows system DLLs, and the module exports its four entry points
# by name. Both builds are checked: the 32-bit one is what ships, and its runtime and stdcall
# names are where mingw differs.
source "$(dirname "$0")/lib/common.bash"

OBJDUMP=x86_64-w64-mingw32-objdump
SYSTEM_DLLS=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll shlwapi.dll shell32.dll user32.dll "
# Present only on some machines: the module loads them by name when it needs them, so a static
# import would keep it from loading at all where they are missing.
LOADED_WHEN_NEEDED=" netapi32.dll clusapi.dll certadm.dll ntdsbcli.dll "

check_imports() {
    local binary=$1 dll
    [ -f "$binary" ] || { fail "$binary is not built"; return; }
    local imports
    imports=$($OBJDUMP -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$imports" ] || fail "$binary: no imports read"
    for dll in $imports; do
        case $LOADED_WHEN_NEEDED in
            *" $dll "*) fail "$binary imports $dll, which must be loaded when needed"; continue ;;
        esac
        case $SYSTEM_DLLS in
            *" $dll "*) ;;
            *) fail "$binary imports $dll, which is not a Windows system DLL" ;;
        esac
    done
}

for build in "$BUILD_DIR" "$(dirname "$BUILD_DIR")/win32"; do
    # The 32-bit tree exists when the whole build ran (make test builds both).
    [ -d "$build" ] || continue
    MODULE=$build/src/module/QmSystemStateBackupRestore.dll
    check_imports "$MODULE"
    check_imports "$build/tools/ssbr/ssbr.exe"
    exports=$($OBJDUMP -p "$MODULE" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' | sed 's/^.*\] //' | sort | tr '\n' ' ')
    expect_eq "$MODULE exports" "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " "$exports"
done
finish
