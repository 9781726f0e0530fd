#!/bin/bash
# What we ship imports only Windows system DLLs, and the module exports its four entry points
# by name.
source "$(dirname "$0")/lib/common.bash"

OBJDUMP=x86_64-w64-mingw32-objdump
SYSTEM_DLLS=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll shlwapi.dll shell32.dll user32.dll netapi32.dll "

check_imports() {
    local binary=$1 dll
    [ -f "$binary" ] || { fail "$binary is not built"; return; }
    local imports
    imports=$($OBJDUMP -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$imports" ] || fail "$(basename "$binary"): no imports read"
    for dll in $imports; do
        case $SYSTEM_DLLS in
            *" $dll "*) ;;
            *) fail "$(basename "$binary") imports $dll, which is not a Windows system DLL" ;;
        esac
    done
}

MODULE=$BUILD_DIR/src/module/QmSystemStateBackupRestore.dll
check_imports "$MODULE"
check_imports "$BUILD_DIR/tools/ssbr/ssbr.exe"

exports=$($OBJDUMP -p "$MODULE" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' | sed 's/^.*\] //' | sort | tr '\n' ' ')
expect_eq "module exports" "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " "$exports"
finish
