#!/bin/bash
# What we ship loads on Windows Server 2003 SP2: it imports only Windows system DLLs, and from
# them no function that came with Windows Vista or later (later-exports.txt), since Wine has
# those and would hide the fault. The module exports its four entry points by name. Both builds
# are checked: the 32-bit one is what ships, and its runtime and stdcall names are where mingw
# differs.
source "$(dirname "$0")/lib/common.bash"

OBJDUMP=x86_64-w64-mingw32-objdump
LATER_EXPORTS=$(dirname "$0")/later-exports.txt
SYSTEM_DLLS=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll shlwapi.dll shell32.dll user32.dll "
# Present only on some machines: the module loads them by name when it needs them, so a static
# import would keep it from loading at all where they are missing.
LOADED_WHEN_NEEDED=" netapi32.dll clusapi.dll certadm.dll ntdsbcli.dll "
# The VSS client library ships beside the module and is linked at load time, by the module and
# by ssbr (which links the component table); nothing else outside Windows is imported. The VSS
# library itself (vssapi.dll) is loaded at run time only: a load-time import would fail on it.
SHIPPED_BESIDE=" qmvss.dll "

# Prints "dll function" for each function the binary imports by name, "dll #ordinal" for one
# imported by ordinal.
imported_functions() {
    $OBJDUMP -p "$1" | awk '
        /^\tDLL Name:/ { dll = tolower($3); next }
        /^[^\t]/ || /^$/ { dll = ""; next }
        dll != "" && /^\t[0-9a-f]+\t/ {
            n = split($0, field, /[ \t]+/)
            name = field[n]
            if (name ~ /^[0-9]+$/ || name == "<none>") print dll, "#" field[3]
            else print dll, name
        }'
}

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
        case $SYSTEM_DLLS$SHIPPED_BESIDE in
            *" $dll "*) ;;
            *) fail "$binary imports $dll, which is not a Windows system DLL" ;;
        esac
    done

    local functions later ordinals
    functions=$(imported_functions "$binary")
    [ "$(echo "$functions" | grep -c .)" -gt 10 ] || fail "$binary: imported functions not read"
    later=$(grep -v -e '^#' -e '^$' "$LATER_EXPORTS" | grep -Fxf - <(echo "$functions") | tr '\n' ' ')
    [ -z "$later" ] || fail "$binary imports what Windows Server 2003 lacks: $later"
    # An ordinal says nothing about when the export came; we import by name only.
    ordinals=$(echo "$functions" | grep ' #' | tr '\n' ' ')
    [ -z "$ordinals" ] || fail "$binary imports by ordinal: $ordinals"
}

# The list itself: every DLL we may import has its part, and the known late calls are in it.
for dll in $SYSTEM_DLLS; do
    grep -q "^$dll " "$LATER_EXPORTS" || fail "later-exports.txt has nothing for $dll"
done
for known in "kernel32.dll CompareStringOrdinal" "kernel32.dll GetTickCount64" "advapi32.dll RegDeleteTreeW" \
             "msvcrt.dll _fseeki64"; do
    grep -qFx "$known" "$LATER_EXPORTS" || fail "later-exports.txt lacks $known"
done

for build in "$BUILD_DIR" "$(dirname "$BUILD_DIR")/win32"; do
    # The 32-bit tree exists when the whole build ran (make test builds both).
    [ -d "$build" ] || continue
    MODULE=$build/src/module/QmSystemStateBackupRestore.dll
    # The snapshot tool is 64-bit only: a 32-bit module on 64-bit Windows starts it.
    if [ "$build" = "$BUILD_DIR" ]; then check_imports "$build/src/vss/dozeZuz.exe"; fi
    check_imports "$MODULE"
    check_imports "$build/src/mountmanager/MountManager.dll"
    check_imports "$build/tools/ssbr/ssbr.exe"
    check_imports "$build/src/vss/QmVss.dll"
    # The library exports the members the module calls, by the names the module imports them.
    expect_eq "$build/src/vss/QmVss.dll exports" \
        "$(grep -E '^    _Z' "$REPO_DIR/src/activedirectory/QmVss.def" | tr -d ' ' | sort | tr '\n' ' ')" \
        "$($OBJDUMP -p "$build/src/vss/QmVss.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' | sed 's/^.*\] //' | sort | tr '\n' ' ')"
    # The requestors' hosts let VSS writers call back into them.
    for host in "$build/tools/ssbr/ssbr.exe" "$build/src/vss/dozeZuz.exe"; do
        [ -f "$host" ] || continue
        imported_functions "$host" | grep -qx "ole32.dll CoInitializeSecurity" || fail "$host does not set COM security"
    done
    # The module takes from QmVss.dll only what the library's interface declares.
    vss=$(imported_functions "$MODULE" | awk '$1 == "qmvss.dll" { print $2 }')
    [ -n "$vss" ] || fail "$MODULE does not link QmVss.dll"
    for function in $vss; do
        grep -qx "    $function" "$REPO_DIR/src/activedirectory/QmVss.def" || fail "$MODULE imports $function from QmVss.dll"
    done
    exports=$($OBJDUMP -p "$MODULE" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' | sed 's/^.*\] //' | sort | tr '\n' ' ')
    expect_eq "$MODULE exports" "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " "$exports"
done
finish
