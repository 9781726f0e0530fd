#!/bin/bash
# Calls into the system, counted from a trace of the lab machine's own libraries (the calls into
# ntdll and kernel32):
# - The tree copy makes no more than a plain walk that calls CopyFileW for each file: per folder
#   one call to create it (not one for each folder above it again), per small file two opens, one
#   read (the short one that brings the whole file), one write, the times, two closes. Counted as
#   the difference between a tree of 40 folders and one of 80 (two small files in each), so that
#   what a process does once drops out.
# - The registry backup looks up the targets of the drive names only, not of every DOS device
#   name, and makes each folder of its copy with at most two calls.
# - The directory backup through the backup API makes its copy of the database as a new file:
#   the create-or-empty form empties even a new file, and a file emptied and written again is
#   written out whole when it is closed, which the backup then waits for.
source "$(dirname "$0")/lib/common.bash"

lab_machine calls --os 2003 --role dc
cp "$QM_BUILD_DIR/bench/benchtool/benchtool.exe" "$C/Program Files/Harborline/benchtool.exe"
TOOL='C:\Program Files\Harborline\benchtool.exe'

for folders in 40 80; do
    for ((n = 0; n < folders; n++)); do
        mkdir -p "$C/calls$folders/top/mid/d$n"
        head -c $((100 + n)) /dev/zero >"$C/calls$folders/top/mid/d$n/a.txt"
        head -c $((5000 + n)) /dev/zero >"$C/calls$folders/top/mid/d$n/b.dat"
    done
done

# calls SIDE FOLDERS: the trace of benchtool's SIDE copy of the tree of FOLDERS folders.
calls() {
    rm -rf "$C/copy"
    WINEDEBUG=+relay "$LAB/run" "$MACHINE" "$TOOL" "tree-$1" "C:\\calls$2" 'C:\copy' 2>"$MACHINES/$1-$2.trace" >/dev/null ||
        fail "benchtool tree-$1 of $2 folders"
    diff -r -q "$C/calls$2" "$C/copy" >/dev/null || fail "the $1 copy of $2 folders differs from its source"
}
# per_folder SIDE [CALL]: calls into ntdll (or of the one named) per folder of two files.
per_folder() {
    local pattern="Call ntdll\\.${2:-Nt[A-Za-z]*}("
    awk -v a="$(grep -c "$pattern" "$MACHINES/$1-40.trace")" -v b="$(grep -c "$pattern" "$MACHINES/$1-80.trace")" \
        'BEGIN { printf "%.2f", (b - a) / 40 }'
}
for side in ours platform; do
    calls "$side" 40
    calls "$side" 80
done

ours=$(per_folder ours) walk=$(per_folder platform)
echo "ntdll calls per folder of two files: ours $ours, CopyFileW walk $walk"
awk -v o="$ours" -v w="$walk" 'BEGIN { exit !(o > 0 && o <= w) }' ||
    fail "the tree copy makes $ours calls per folder of two files, the CopyFileW walk $walk"
expect_eq "opens and creations per folder of two files (the folder, two sources, two copies)" 5.00 "$(per_folder ours NtCreateFile)"
expect_eq "reads per folder of two small files" 2.00 "$(per_folder ours NtReadFile)"

WINEDEBUG=+relay "$LAB/run" "$MACHINE" "$TOOL" backup-ours 'C:\bk' 2>"$MACHINES/registry.trace" >/dev/null ||
    fail "benchtool backup-ours"
drives=$(ls "$MACHINE/dosdevices" | grep -c ':$')
folders=$(find "$C/bk" -type d | wc -l)
hives=$(find "$C/bk/Reg" -type f | wc -l)
lookups=$(grep -c 'Call ntdll\.NtOpenSymbolicLinkObject(' "$MACHINES/registry.trace")
creations=$(grep -c 'Call KERNEL32\.CreateDirectoryW(' "$MACHINES/registry.trace")
echo "registry backup: $hives hives, $lookups link lookups for $drives drives, $creations folder creations for $folders folders"
[ "$hives" -ge 5 ] || fail "the registry backup saved $hives hives"
[ "$lookups" -le "$drives" ] || fail "the registry backup looked up $lookups links for $drives drive names"
[ "$creations" -le $((2 * folders)) ] || fail "the registry backup made $folders folders with $creations calls"

head -c $((8 * 1048576)) /dev/urandom >"$C/windows/NTDS/ntds.dit"
mkdir -p "$C/ad"
WINEDEBUG=+relay "$LAB/run" "$MACHINE" "$TOOL" ad-backup 'C:\ad' 2>"$MACHINES/directory.trace" >/dev/null ||
    fail "benchtool ad-backup"
cmp -s "$C/windows/NTDS/ntds.dit" "$C/ad/ntds.dit" || fail "the directory backup's database differs from the live one"
# CreateFileW's fifth argument: 1 is CREATE_NEW.
expect_eq "how the directory backup creates its copy of the database" 00000001 \
    "$(grep -o 'Call KERNEL32\.CreateFileW([0-9a-f]* L"[^"]*\\\\ad\\\\ntds\.dit",[0-9a-f]*,[0-9a-f]*,[0-9a-f]*,[0-9a-f]*' \
        "$MACHINES/directory.trace" | awk -F, '{ print $NF }')"
rm -f "$MACHINES"/*.trace
finish
