#!/bin/bash
# Backup targets on a machine with every role: each component's real backup writes only names of
# the component table (an earlier backup of all of them is taken again), a link in an earlier
# backup is not followed, and the live folders of the components asked for, however named, are
# refused before anything in them is touched. Roots and folders of someone's files are the unit
# tests' (BackupTargetRules).
source "$(dirname "$0")/lib/common.bash"

provision backup-target --os 2003 --role ca --role cluster --role dc
MACHINE=$MACHINES/backup-target
machines_ready
DRIVE=$MACHINE/drive_c
# The authority's role offers \\<computer>\C$ through dosdevices/unc/<computer>.
HOST=$(ls "$MACHINE/dosdevices/unc")

# refused WHAT TARGET OPTIONS...: ssbr backup TARGET fails with the module's text and creates nothing.
refused() {
    local what=$1 target=$2
    run_in "$MACHINE" ssbr backup "$target" "${@:3}"
    expect_eq "$what: exit" 1 "$RC"
    expect_contains "$what: reason" \
        $'An exception occurred in Backup:\nFileSystemException ERROR: Invalid backup directory: '"$target"$'\n' "$ERR"
}
# tree FOLDER: every path below it, to compare before and after.
tree() { (cd "$1" && find . | sort); }

# --- every row of the table, as its component really writes it ------------------------------------
run_in "$MACHINE" ssbr backup --help
SWITCHES=$(sed -n '/^COMPONENTS:/,/^The password/{/^The password/!p}' <<<"$OUT" | grep -o -- '--[a-z-]*' | grep -vx -- --all)
[ -n "$SWITCHES" ] || fail "no components in the usage: [$OUT]"
run_in "$MACHINE" ssbr backup 'C:\state' --all
expect_eq "backup of every component: exit and stderr" "0 " "$RC $ERR"
run_in "$MACHINE" ssbr list 'C:\state' --json
for switch in $SWITCHES; do
    expect_eq "$switch: its mark and files are in the backup" True "$(python3 -c 'import json, sys
c = [c for c in json.load(sys.stdin)["components"] if c["id"] == sys.argv[1]]
print(len(c) == 1 and c[0]["held"] and c[0]["outcome"] == "done" and c[0]["files"] > 0)' "${switch#--}" <<<"$OUT" 2>&1)"
done
# Every name they wrote at the top is one of the table's, or it would be someone's folder.
run_in "$MACHINE" ssbr backup 'C:\state' --all
expect_eq "backup over the earlier one of every component: exit and stderr" "0 " "$RC $ERR"

# A link to a folder in the target: Windows removes the link itself; Wine cannot remove one, and
# the backup stops there, naming it. Either way what it points at stays.
mkdir -p "$DRIVE/elsewhere" && echo kept >"$DRIVE/elsewhere/kept.txt"
rm -rf "$DRIVE/state/SysVol" && ln -s ../elsewhere "$DRIVE/state/SysVol"
run_in "$MACHINE" ssbr backup 'C:\state' --registry
[ "$RC" = 0 ] && [ -L "$DRIVE/state/SysVol" ] && fail "the backup succeeded and kept the link"
[ "$RC" = 0 ] || expect_contains "a link that cannot be removed" 'Could not delete C:\state\SysVol' "$ERR"
expect_eq "the folder the link pointed at" kept "$(cat "$DRIVE/elsewhere/kept.txt")"

# --- never into what a chosen component copies, however it is named ------------------------------
SYSVOL_BEFORE=$(tree "$DRIVE/windows/SYSVOL") CERTLOG_BEFORE=$(tree "$DRIVE/windows/system32/CertLog")
NTDS_BEFORE=$(tree "$DRIVE/windows/NTDS")
while read -r target switch; do
    refused "backup into $target" "$target" "$switch" </dev/null
done <<EOF
C:\windows\SYSVOL\sysvol\x --sysvol
C:\WINDOWS\SysVol --sysvol
\\\\?\\C:\windows\system32\CertLog\Backup --certificate-services
\\\\$HOST\\C\$\\windows\\system32\\CertLog\\Backup --certificate-services
C:\windows\system32\CertSrv\CertEnroll\bk --certificate-services
C:\windows\NTDS\bk --active-directory
C:\windows\cluster\bk --cluster
C:\windows\system32\bk --boot-files
C:\windows\WfpCache\bk --boot-files
EOF
expect_eq "live SysVol unchanged" "$SYSVOL_BEFORE" "$(tree "$DRIVE/windows/SYSVOL")"
expect_eq "live CertLog unchanged" "$CERTLOG_BEFORE" "$(tree "$DRIVE/windows/system32/CertLog")"
expect_eq "live NTDS unchanged" "$NTDS_BEFORE" "$(tree "$DRIVE/windows/NTDS")"
for made in windows/system32/CertSrv/CertEnroll/bk windows/cluster/bk windows/system32/bk windows/WfpCache/bk; do
    [ -e "$DRIVE/$made" ] && fail "a refused backup created $made"
done
# Only the chosen components' folders count: the registry copies no folder of the authority's.
run_in "$MACHINE" ssbr backup 'C:\windows\system32\CertLog\registry' --registry
expect_eq "registry backup below the authority's log folder: exit" 0 "$RC"
rm -rf "$DRIVE/windows/system32/CertLog/registry"

finish
