#!/bin/bash
# What we ship loads on Windows Server 2003 SP2: it imports only Windows system DLLs, and from
# them no function that came with Windows Vista or later (later-exports.txt), since Wine has
# those and would hide the fault. Run by the build once the binaries are linked (both builds:
# the 32-bit one is what ships, and its runtime and stdcall names are where mingw differs); any
# finding fails the build.
#   check-imports.sh OBJDUMP QMVSS_DEF MODULE MOUNTMANAGER SSBR QMVSS [SNAPSHOT_TOOL]
set -uo pipefail
OBJDUMP=$1 QMVSS_DEF=$2 MODULE=$3
LATER_EXPORTS=$(dirname "$0")/later-exports.txt
SYSTEM_DLLS=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll shlwapi.dll shell32.dll user32.dll "
# Present only on some machines: the module loads them by name when it needs them, so a static
# import would keep it from loading at all where they are missing.
LOADED_WHEN_NEEDED=" netapi32.dll clusapi.dll certadm.dll ntdsbcli.dll "
# The VSS client library ships beside the module, which links it at load time; nothing else
# outside Windows is imported. The VSS library itself (vssapi.dll) is loaded at run time only: a
# load-time import would fail on it.
SHIPPED_BESIDE=" qmvss.dll "
FAILURES=0
fail() {
    echo "check-imports: $*" >&2
    FAILURES=$((FAILURES + 1))
}

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
# The names a DLL exports, sorted, on one line.
exported_names() {
    $OBJDUMP -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' |
        sed 's/^.*\] //' | sort | tr '\n' ' '
}

check_imports() {
    local binary=$1 dll imports functions later ordinals
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

for binary in "${@:3}"; do check_imports "$binary"; done
# The library exports the members the module calls, by the names the module imports them, and
# the module takes from it only what the library's interface declares.
QMVSS=$6
declared=$(grep -E '^    _Z' "$QMVSS_DEF" | tr -d ' ' | sort | tr '\n' ' ')
[ "$(exported_names "$QMVSS")" = "$declared" ] || fail "$QMVSS exports [$(exported_names "$QMVSS")], not [$declared]"
vss=$(imported_functions "$MODULE" | awk '$1 == "qmvss.dll" { print $2 }')
[ -n "$vss" ] || fail "$MODULE does not link QmVss.dll"
for function in $vss; do
    grep -qx "    $function" "$QMVSS_DEF" || fail "$MODULE imports $function from QmVss.dll"
done
# The requestors' hosts let VSS writers call back into them.
for host in "$5" "${7:-}"; do
    [ -z "$host" ] || imported_functions "$host" | grep -qx "ole32.dll CoInitializeSecurity" || fail "$host does not set COM security"
done
exports=$(exported_names "$MODULE")
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "$MODULE exports [$exports]"
exit $((FAILURES > 0))
