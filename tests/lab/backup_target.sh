#!/bin/bash
# A backup empties its target first and copies live folders into it, so the target must be new,
# empty or an earlier backup, and must not lie in what the chosen components copy: the Windows
# directory, a folder of someone's files with one of our names in it and the live folders of the
# components asked for are refused before anything is deleted or created; the folder of a real
# earlier backup is taken, emptied and filled again. Other targets are refused or emptied in the
# unit tests (BackupTarget).
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

echo canary >"$DRIVE/windows/qm-canary.txt"
refused "backup into the Windows directory" 'C:\WINDOWS' --registry
[ -f "$DRIVE/windows/qm-canary.txt" ] && [ -d "$DRIVE/windows/system32" ] || fail "the Windows directory lost files"

# --- an earlier backup is what the components write, nothing else ----------------------------------
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "first backup: exit" 0 "$RC"
# What an earlier backup of other components left there goes as well.
echo stale >"$DRIVE/bk/Reg/stale.txt"
echo earlier >"$DRIVE/bk/comDB.reg"
mkdir -p "$DRIVE/bk/SPF/c/windows" && echo earlier >"$DRIVE/bk/SPF/c/windows/old.dll"
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "backup over an earlier one: exit" 0 "$RC"
for gone in Reg/stale.txt comDB.reg SPF; do
    [ -e "$DRIVE/bk/$gone" ] && fail "the earlier backup's $gone was not removed"
done
[ -f "$DRIVE/bk/RegistryBackupSet.xml" ] || fail "no manifest after the second backup"

# One of our names among someone's files does not make a backup: nothing of it is deleted.
mkdir -p "$DRIVE/mixed/drafts"
: >"$DRIVE/mixed/comDB.reg"
echo mine >"$DRIVE/mixed/report.docx"
echo mine >"$DRIVE/mixed/drafts/chapter1.txt"
BEFORE=$(tree "$DRIVE/mixed")
refused "a folder of files with a comDB.reg" 'C:\mixed' --complus
expect_eq "a folder of files with a comDB.reg: kept whole" "$BEFORE" "$(tree "$DRIVE/mixed")"

# The cluster service writes only its folder: a second cluster backup goes where the first went.
run_in "$MACHINE" ssbr backup 'C:\cl' --cluster
expect_eq "first cluster backup: exit" 0 "$RC"
run_in "$MACHINE" ssbr backup 'C:\cl' --cluster
expect_eq "cluster backup over an earlier one: exit and stderr" "0 " "$RC $ERR"
[ -f "$DRIVE/cl/Cluster/CLUSDB" ] || fail "no cluster database after the second backup"

# A link to a folder in the target: Windows removes the link itself; Wine cannot remove one, and
# the backup stops there, naming it. Either way what it points at stays.
mkdir -p "$DRIVE/elsewhere" && echo kept >"$DRIVE/elsewhere/kept.txt" && ln -s ../elsewhere "$DRIVE/bk/SysVol"
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
[ "$RC" = 0 ] && [ -L "$DRIVE/bk/SysVol" ] && fail "the backup succeeded and kept the link"
[ "$RC" = 0 ] || expect_contains "a link that cannot be removed" 'Could not delete C:\bk\SysVol' "$ERR"
expect_eq "the folder the link pointed at" kept "$(cat "$DRIVE/elsewhere/kept.txt")"

# --- never into what a chosen component copies ----------------------------------------------------
SYSVOL_BEFORE=$(tree "$DRIVE/windows/SYSVOL") CERTLOG_BEFORE=$(tree "$DRIVE/windows/system32/CertLog")
NTDS_BEFORE=$(tree "$DRIVE/windows/NTDS")
refused "backup into the live SysVol" 'C:\windows\SYSVOL\sysvol\x' --sysvol
refused "backup into the live SysVol, other case" 'C:\WINDOWS\SysVol' --sysvol
refused "backup below the authority's log folder" 'C:\windows\system32\CertLog\Backup' --certificate-services
refused "backup below the authority's log folder, through the share" "\\\\$HOST\\C\$\\windows\\system32\\CertLog\\Backup" \
    --certificate-services
refused "backup into the authority's enrolment folder" 'C:\windows\system32\CertSrv\CertEnroll\bk' --certificate-services
refused "backup into the directory's folder" 'C:\windows\NTDS\bk' --active-directory
refused "backup into the cluster's folder" 'C:\windows\cluster\bk' --cluster
refused "backup into the system folder" 'C:\windows\system32\bk' --boot-files
refused "backup into the protection cache" 'C:\windows\WfpCache\bk' --boot-files
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

# Elsewhere, the same components back up.
run_in "$MACHINE" ssbr backup 'C:\state' --boot-files --active-directory --sysvol --certificate-services --cluster
expect_eq "backup elsewhere: exit and stderr" "0 " "$RC $ERR"
for mark in CoreBootSystemFilesBackupSet.xml ActiveDirectoryBackupSet.xml SystemVolumeBackupSet.xml \
    CertificateServicesBackupSet.xml Cluster/CLUSDB SHA256SUMS; do
    [ -f "$DRIVE/state/$mark" ] || fail "backup elsewhere: no $mark"
done

finish
