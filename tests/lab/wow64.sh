#!/bin/bash
# The boot-files component as the 32-bit module runs it on 64-bit Windows, in a lab 2003 server:
# wow64_tests.exe backs up and restores under a stand-in for the WOW64 redirector, which sends a
# file call on the system folder to 32-bit twins in SysWOW64 unless redirection is off. No twin
# is saved, the pending renames lead into the system folder only; after a restart it holds the
# saved files again, and the twins are as they were.
source "$(dirname "$0")/lib/common.bash"

lab_machine wow64 --os 2003

# The twins of the system folder's files that the component saves, where a redirected call finds them.
(cd "$C/windows/system32" && find catroot inetsrv Microsoft/Protect drivers -type f && ls | grep -i '^\(perf\|qm\)') |
    while read -r file; do mkdir -p "$(dirname "$C/windows/syswow64/$file")" && printf '32-bit twin' >"$C/windows/syswow64/$file"; done
run_in "$MACHINE" wow64_tests.exe --gtest_brief=1
expect_eq "wow64_tests.exe: exit" 0 "$RC"
[ "$RC" = 0 ] || printf '%s\n%s\n' "$OUT" "$ERR" | tail -40 >&2
run_in "$MACHINE" reg query "$SESSION_MANAGER" /v PendingFileRenameOperations
PENDING=$(renames "$OUT")
expect_eq "renames into SysWOW64" "" "$(grep -i 'syswow64' <<<"$PENDING")"

# The saved files of the system folder, by their paths below it in lower case.
SAVED=$(cd "$E/wow64" && find CatRoot SPF Perf IIS -type f | grep -i '^[^/]*/C/windows/system32/' | LC_ALL=C sort)
[ "$(grep -c . <<<"$SAVED")" -ge 15 ] || fail "saved files of the system folder: $SAVED"
expect_eq "saved 32-bit twins" "" "$(cd "$E/wow64" && grep -rlx '32-bit twin' .)"
expect_eq "pending renames into the system folder" "$(grep -c . <<<"$SAVED")" \
    "$(grep -ic '^!\\??\\C:\\windows\\system32\\' <<<"$PENDING")"

"$LAB/restart" "$MACHINE"
declare -A LIVE
while read -r path; do LIVE[${path,,}]=$path; done < <(find "$C/windows/system32" -type f)
while read -r saved; do
    rest=${saved#*/*/*/*/}
    live=${LIVE[${C,,}/windows/system32/${rest,,}]:-}
    [ -n "$live" ] || { fail "$saved: no live file"; continue; }
    cmp -s "$E/wow64/$saved" "$live" || fail "after the restart, $live differs from $saved"
done <<<"$SAVED"
[ "$(find "$C/windows/syswow64" -type f | grep -c .)" -ge 15 ] || fail "the 32-bit twins were not made"
expect_eq "32-bit twins changed" "" "$(find "$C/windows/syswow64" -type f ! -exec grep -qx '32-bit twin' {} \; -print)"
finish
