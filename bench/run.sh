#!/bin/bash
# bench/run.sh BUILD_DIR: what `make bench` runs. Each row times our code and a reference on the
# same data, in turn, in one run on this machine, and prints both figures and their ratio;
# bench/README.md says how to read the table.
#
# Settings (environment): BENCH_RUNS (timings of each side per row, the best kept; default 7),
# BENCH_TREE_RUNS (the same for the tree row; 3), BENCH_FILE_MIB (1024), BENCH_TREE_FILES (20000),
# BENCH_REG_VALUES (200000), BENCH_MANIFEST_ENTRIES (10000, about 1 MB), BENCH_ROWS (the rows to
# run; "1 2 3 4 5 6 7 8 9 10"), BENCH_TOOL (another build's
# benchtool.exe, to compare builds). The data lives below BUILD_DIR/bench-run and is deleted at
# the end; the lab machine stays for the next run.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(dirname "$BENCH_DIR")
[ $# -eq 1 ] || { echo "usage: bench/run.sh BUILD_DIR" >&2; exit 2; }
BUILD_DIR=$(cd "$1" && pwd)
RUNS=${BENCH_RUNS:-7}
TREE_RUNS=${BENCH_TREE_RUNS:-3}
FILE_MIB=${BENCH_FILE_MIB:-1024}
TREE_FILES=${BENCH_TREE_FILES:-20000}
REG_VALUES=${BENCH_REG_VALUES:-200000}
MANIFEST_ENTRIES=${BENCH_MANIFEST_ENTRIES:-10000}
ROWS=${BENCH_ROWS:-1 2 3 4 5 6 7 8 9 10}

BENCHTOOL=${BENCH_TOOL:-$BUILD_DIR/bench/benchtool/benchtool.exe}
[ -f "$BENCHTOOL" ] || { echo "bench: $BENCHTOOL is not built (make build64)" >&2; exit 1; }

WORK=$BUILD_DIR/bench-run
MACHINE=$WORK/machine
# The domain controllers of rows 6 (2003) and 10 (2008).
DC_MACHINE=$WORK/dc-machine
WRITER_DC_MACHINE=$WORK/dc-machine-2008
# The data sits on the machine's C: drive, so that cp and the Windows programs read the same files.
DATA=$MACHINE/drive_c/bench
DATA_WIN='C:\bench'
TOOL_WIN='C:\Program Files\Harborline\benchtool.exe'

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}

echo "bench: provisioning a lab machine"
"$REPO_DIR/lab/provision" "$MACHINE" --os 2003 --build "$BUILD_DIR" >/dev/null
# benchtool.exe beside the module's companions: the registry code it links loads the mount manager
# from the folder of the binary it is linked into.
cp "$BENCHTOOL" "$MACHINE/drive_c/Program Files/Harborline/benchtool.exe"
export WINEPREFIX=$MACHINE

# One running machine for the whole run, so that no timing pays for booting it; stopped (and the
# data deleted) on every way out.
finish() {
    "$REPO_DIR/lab/stop" "$MACHINE" >/dev/null 2>&1 || true
    [ ! -f "$DC_MACHINE/wineserver.pid" ] || WINEPREFIX=$DC_MACHINE "$REPO_DIR/lab/stop" "$DC_MACHINE" >/dev/null 2>&1 || true
    [ ! -f "$WRITER_DC_MACHINE/wineserver.pid" ] || "$REPO_DIR/lab/stop" "$WRITER_DC_MACHINE" >/dev/null 2>&1 || true
    [ ! -f "$WORK/machine-ca/wineserver.pid" ] || "$REPO_DIR/lab/stop" "$WORK/machine-ca" >/dev/null 2>&1 || true
    rm -rf "$DATA"
}
trap finish EXIT
"$REPO_DIR/lab/start" "$MACHINE" >/dev/null
rm -rf "$DATA"
mkdir -p "$DATA"

OUT=$WORK/out.txt
ERR=$WORK/err.txt

# tool ARGS...: runs benchtool in the machine; sets SECONDS_TAKEN and PEAK (bytes). Output goes
# to files: a service the command starts must not hold a pipe of ours open.
tool() {
    if ! wine "$TOOL_WIN" "$@" >"$OUT" 2>"$ERR"; then
        echo "bench: benchtool $* failed: $(cat "$ERR")" >&2
        exit 1
    fi
    read -r SECONDS_TAKEN PEAK < <(tr -d '\r' <"$OUT")
}

# timed COMMAND...: runs a Unix command; sets SECONDS_TAKEN.
timed() {
    local start=$EPOCHREALTIME
    "$@"
    SECONDS_TAKEN=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f", b - a }')
}

# settle: what a copy left for the disk is written before the next timing starts.
settle() {
    sync
}

# min A B: the smaller of two decimal numbers.
min() {
    awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }'
}

mib() {
    awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'
}

RESULTS=()
NOTES=()
# row NAME OURS_SECONDS REFERENCE_NAME REFERENCE_SECONDS KIND GOAL PEAK [PEAK_LIMIT_MIB] [AMOUNT_MIB]
#   KIND "throughput": ratio = reference time / our time, goal is a minimum.
#   KIND "time":       ratio = our time / reference time, goal is a maximum.
#   GOAL "-": a row that is measured and has no goal.
row() {
    local name=$1 ours=$2 refname=$3 ref=$4 kind=$5 goal=$6 peak=$7 limit=${8:-} amount=${9:-}
    local line
    line=$(awk -v name="$name" -v ours="$ours" -v refname="$refname" -v ref="$ref" -v kind="$kind" \
               -v goal="$goal" -v peak="$peak" -v limit="$limit" -v amount="$amount" 'BEGIN {
        if (kind == "throughput") { ratio = ref / ours; met = ratio >= goal; goaltext = ">= " goal "x" }
        else { ratio = ours / ref; met = ratio <= goal; goaltext = "<= " goal "x" }
        if (goal == "-") goaltext = "none"
        figures = sprintf("ours %.3f s, %s %.3f s", ours, refname, ref)
        if (amount != "") figures = figures sprintf(" (%.0f vs %.0f MiB/s)", amount / ours, amount / ref)
        peaktext = sprintf("peak %.1f MiB", peak / 1048576)
        verdict = goal == "-" ? "(measured)" : met ? "met" : "MISSED"
        if (limit != "") {
            peaktext = peaktext " (< " limit " MiB)"
            if (peak / 1048576 >= limit) verdict = "MISSED"
        }
        printf "%-34s %-50s ratio %.2fx (goal %s)  %s  %s", name, figures, ratio, goaltext, peaktext, verdict
    }')
    RESULTS+=("$line")
    echo "  $line"
}

bench_file_copy() {
    echo "bench: row 1, one file of $FILE_MIB MiB"
    head -c $((FILE_MIB * 1048576)) /dev/urandom >"$DATA/source.bin"
    settle
    local ours= cp_time= platform= peak=0 run side
    for ((run = 0; run < RUNS; run++)); do
        # The order turns from run to run, so that no side always follows the same one.
        for side in $(printf 'cp\nours\nplatform\n' | awk -v r="$run" '{ a[NR - 1] = $0 } END { for (i = 0; i < 3; i++) print a[(i + r) % 3] }'); do
            case $side in
                cp)
                    timed cp "$DATA/source.bin" "$DATA/copy.bin"
                    cp_time=$(min "$SECONDS_TAKEN" "$cp_time") ;;
                ours)
                    tool copy-ours "$DATA_WIN\\source.bin" "$DATA_WIN\\copy.bin"
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
                platform)
                    tool copy-platform "$DATA_WIN\\source.bin" "$DATA_WIN\\copy.bin"
                    platform=$(min "$SECONDS_TAKEN" "$platform") ;;
            esac
            # Each side's first copy is checked; comparing 1 GiB every time would double the run.
            ((run > 0)) || cmp -s "$DATA/source.bin" "$DATA/copy.bin" ||
                { echo "bench: the $side copy differs from its source" >&2; exit 1; }
            rm -f "$DATA/copy.bin"
            settle
        done
    done
    rm -f "$DATA/source.bin"
    row "1 Files::Copy, 1 file" "$ours" cp "$cp_time" throughput 0.8 "$peak" 64 "$FILE_MIB"
    row "1 Files::Copy, 1 file" "$ours" CopyFileW "$platform" throughput 0.95 "$peak" 64 "$FILE_MIB"
}

bench_tree_copy() {
    echo "bench: row 2, a tree of $TREE_FILES files"
    perl "$BENCH_DIR/make-tree.pl" "$DATA/tree" "$TREE_FILES"
    local megabytes
    megabytes=$(du -sm --apparent-size "$DATA/tree" | cut -f1)
    settle
    local ours= cp_time= peak=0 run side
    for ((run = 0; run < TREE_RUNS; run++)); do
        for side in $( ((run % 2)) && echo "ours cp" || echo "cp ours"); do
            case $side in
                cp)
                    timed cp -r "$DATA/tree" "$DATA/copy"
                    cp_time=$(min "$SECONDS_TAKEN" "$cp_time") ;;
                ours)
                    tool tree-ours "$DATA_WIN\\tree" "$DATA_WIN\\copy"
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            ((run > 0)) || diff -r -q "$DATA/tree" "$DATA/copy" >/dev/null ||
                { echo "bench: the $side tree copy differs from its source" >&2; exit 1; }
            rm -rf "$DATA/copy"
            settle
        done
    done
    # What the platform charges for opening and closing each file, once: a floor under any copy
    # of the tree in the lab machine, to read a missed goal by.
    tool tree-open "$DATA_WIN\\tree"
    local floor=$SECONDS_TAKEN
    rm -rf "$DATA/tree"
    row "2 Directories::Copy, $TREE_FILES files" "$ours" "cp -r" "$cp_time" throughput 0.5 "$peak" "" "$megabytes"
    NOTES+=("2 open+close of every file alone in the lab machine: $(awk -v f="$floor" -v c="$cp_time" -v o="$ours" \
        'BEGIN { printf "%.3f s, %.2fx the time of cp -r, %.0f%% of our copy time", f, f / c, 100 * f / o }')")
    echo "  ${NOTES[-1]}"
}

bench_registry_backup() {
    echo "bench: row 3, registry backup with $REG_VALUES values added to SOFTWARE"
    tool fill-registry 'SOFTWARE\QmBench' "$REG_VALUES"
    local ours= bare= peak=0 run side
    for ((run = 0; run < RUNS; run++)); do
        for side in $( ((run % 2)) && echo "ours bare" || echo "bare ours"); do
            case $side in
                bare)
                    tool backup-bare "$DATA_WIN\\bare"
                    bare=$(min "$SECONDS_TAKEN" "$bare") ;;
                ours)
                    tool backup-ours "$DATA_WIN\\ours"
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            if [ -d "$DATA/ours" ] && [ -d "$DATA/bare" ]; then
                # Both sides saved the same hives.
                [ "$(find "$DATA/ours/Reg" -type f | wc -l)" -eq "$(find "$DATA/bare" -type f | wc -l)" ] ||
                    { echo "bench: the backup and the bare save wrote different numbers of hives" >&2; exit 1; }
                rm -rf "$DATA/bare" "$DATA/ours"
            fi
            settle
        done
    done
    row "3 registry backup" "$ours" RegSaveKey "$bare" time 1.1 "$peak"
}

bench_sysvol_backup() {
    echo "bench: row 4, SysVol backup of a tree of $TREE_FILES files"
    # The machine's own SysVol tree: SystemVolume::Backup copies what %SystemRoot% holds. Spelt
    # as the component spells it: Wine finds a name of another case by reading the whole folder,
    # on every open below it, a cost NTFS does not have.
    local live=$MACHINE/drive_c/windows/SysVol
    rm -rf "$live"
    perl "$BENCH_DIR/make-tree.pl" "$live" "$TREE_FILES"
    local megabytes
    megabytes=$(du -sm --apparent-size "$live" | cut -f1)
    settle
    local ours= cp_time= peak=0 run side
    for ((run = 0; run < TREE_RUNS; run++)); do
        for side in $( ((run % 2)) && echo "ours cp" || echo "cp ours"); do
            case $side in
                cp)
                    timed cp -r "$live" "$DATA/copy"
                    cp_time=$(min "$SECONDS_TAKEN" "$cp_time") ;;
                ours)
                    # The component object makes the target before any component runs.
                    mkdir -p "$DATA/sysvol"
                    tool sysvol-ours "$DATA_WIN\\sysvol"
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK
                    ((run > 0)) || diff -r -q "$live" "$DATA/sysvol/SysVol/C/windows/SysVol" >/dev/null ||
                        { echo "bench: the SysVol backup differs from the live tree" >&2; exit 1; }
                    rm -rf "$DATA/sysvol" ;;
            esac
            rm -rf "$DATA/copy"
            settle
        done
    done
    rm -rf "$live"
    row "4 SysVol backup, $TREE_FILES files" "$ours" "cp -r" "$cp_time" throughput 0.5 "$peak" "" "$megabytes"
}

# The live files the boot-files backup saves on the lab server (lab/roles/server.bash), as cp
# copies them: the same data, without the lookups and the manifest.
BOOT_SOURCES=(NtLdr Boot.ini NtDetect.com NtBootDD.sys "windows/system32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}"
    windows/system32/qmprot32.dll windows/system32/drivers/qmprotfs.sys windows/system32/qmshell.dll
    windows/Fonts/qmserif.ttf windows/WfpCache windows/system32/PerfC009.dat windows/system32/PerfH009.dat
    windows/system32/PerfC007.dat windows/system32/PerfC009.bak windows/system32/PerfH009.bak
    windows/system32/inetsrv/MetaBase.xml windows/system32/inetsrv/MBSchema.xml windows/system32/Microsoft/Protect ProgramData/Microsoft/Crypto/RSA/MachineKeys)

bench_bootfiles_backup() {
    echo "bench: row 5, boot-files backup of the lab server"
    # Only the programs the machine was provisioned with prefer the lab's protection list.
    wine reg add 'HKCU\Software\Wine\AppDefaults\benchtool.exe\DllOverrides' /v sfc /d native,builtin /f >/dev/null 2>&1
    local ours= cp_time= peak=0 run side files
    for ((run = 0; run < RUNS; run++)); do
        for side in $( ((run % 2)) && echo "ours cp" || echo "cp ours"); do
            case $side in
                cp)
                    mkdir -p "$DATA/cp"
                    timed bash -c 'cd "$1" && shift && cp -r --parents "$@" "'"$DATA/cp"'"' - "$MACHINE/drive_c" "${BOOT_SOURCES[@]}"
                    cp_time=$(min "$SECONDS_TAKEN" "$cp_time") ;;
                ours)
                    mkdir -p "$DATA/boot"
                    tool bootfiles-ours "$DATA_WIN\\boot"
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            settle
        done
        # Both sides copied the same files (the backup adds its manifest).
        files=$(find "$DATA/boot" -type f | wc -l)
        [ "$files" -eq $(($(find "$DATA/cp" -type f | wc -l) + 1)) ] ||
            { echo "bench: the boot-files backup saved $files files, cp copied $(find "$DATA/cp" -type f | wc -l)" >&2; exit 1; }
        rm -rf "$DATA/boot" "$DATA/cp"
    done
    row "5 boot-files backup, $((files - 1)) files" "$ours" "cp" "$cp_time" time - "$peak"
}

bench_catalog_hash() {
    echo "bench: row 8, hashing a backup of $FILE_MIB MiB"
    # Three large files (hives, databases) and many small ones (boot and system files).
    mkdir -p "$DATA/backup/Reg" "$DATA/backup/SPF"
    local big=$((FILE_MIB / 4)) i
    for i in 1 2 3; do head -c $((big * 1048576)) /dev/urandom >"$DATA/backup/Reg/hive$i"; done
    for ((i = 0; i < big * 4; i++)); do head -c 262144 /dev/urandom >"$DATA/backup/SPF/file$i.dll"; done
    local files
    files=$(cd "$DATA/backup" && find . -type f | sed 's|^\./||' | sort)
    settle
    local ours= reference= peak=0 run side
    for ((run = 0; run < RUNS; run++)); do
        for side in $( ((run % 2)) && echo "ours sha256sum" || echo "sha256sum ours"); do
            case $side in
                sha256sum)
                    timed bash -c 'cd "$1" && xargs -d "\n" sha256sum >"$2"' _ "$DATA/backup" "$WORK/reference.sums" <<<"$files"
                    reference=$(min "$SECONDS_TAKEN" "$reference") ;;
                ours)
                    rm -f "$DATA/backup/SHA256SUMS"
                    tool hash-ours "$DATA_WIN\\backup"
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
        done
    done
    # Our catalog says what sha256sum says, line for line.
    cmp -s <(sort -k2 "$WORK/reference.sums") <(sort -k2 "$DATA/backup/SHA256SUMS") ||
        { echo "bench: the catalog differs from sha256sum's" >&2; exit 1; }
    rm -rf "$DATA/backup" "$WORK/reference.sums"
    row "8 catalog hashing" "$ours" sha256sum "$reference" throughput 0.8 "$peak" 64 "$FILE_MIB"
}

# manifest DIR COUNT: a registry manifest of COUNT distinct entries (about 100 bytes each) in DIR.
manifest() {
    mkdir -p "$1"
    awk -v n="$2" 'BEGIN {
        printf "<BackupSet type=\"Registry\"><files>"
        for (i = 0; i < n; i++)
            printf "<file filepath=\"C\\h\\%d\" hivefile=\"\\Device\\HarddiskVolume1\\h\\%d\" hivepath=\"\\REGISTRY\\USER\\S-%d\"/>", i, i, i
        printf "</files></BackupSet>"
    }' >"$1/RegistryBackupSet.xml"
}

# Reading a manifest eight times as long must take about eight times as long: the ratio is the
# long read's time against eight short ones'.
bench_manifest_read() {
    local long=$((MANIFEST_ENTRIES * 8)) short= longest= peak=0 run
    echo "bench: row 9, reading registry manifests of $MANIFEST_ENTRIES and $long entries"
    manifest "$DATA/short" "$MANIFEST_ENTRIES"
    manifest "$DATA/long" "$long"
    for ((run = 0; run < RUNS; run++)); do
        tool read-manifest "$DATA_WIN\\short" "$MANIFEST_ENTRIES"
        short=$(min "$SECONDS_TAKEN" "$short")
        tool read-manifest "$DATA_WIN\\long" "$long"
        longest=$(min "$SECONDS_TAKEN" "$longest")
        [ "$PEAK" -gt "$peak" ] && peak=$PEAK
    done
    NOTES+=("row 9: $(mib "$(stat -c %s "$DATA/short/RegistryBackupSet.xml")") read in $short s")
    row "9 manifest read, 8x the entries" "$longest" "8 x shorter" "$(awk -v s="$short" 'BEGIN { print 8 * s }')" time 1.5 "$peak"
}

# Rows 6 and 10: the directory backup in a domain controller of its own, against cp of the
# database; the peak working set must not grow with the database. Row 6 goes through the backup
# API (2003), row 10 through the directory's VSS writer (2008: QmVss.dll and the lab's VSS, whose
# snapshot is a set of links, so the time is the requestor's).
# bench_directory_backup ROW OS MACHINE SAVED NAME: SAVED is where the database lands below the target.
bench_directory_backup() {
    local number=$1 os=$2 machine=$3 saved=$4 name=$5
    echo "bench: row $number, directory backup of a $FILE_MIB MiB database, $name"
    "$REPO_DIR/lab/provision" "$machine" --os "$os" --role dc --build "$BUILD_DIR" >/dev/null
    cp "$BENCHTOOL" "$machine/drive_c/Program Files/Harborline/benchtool.exe"
    local ntds=$machine/drive_c/windows/NTDS data=$machine/drive_c/bench
    WINEPREFIX=$machine "$REPO_DIR/lab/start" "$machine" >/dev/null
    rm -rf "$data"
    mkdir -p "$data"
    local ours= cp_time= peaks=() size run side
    for size in 100 "$FILE_MIB"; do
        head -c $((size * 1048576)) /dev/urandom >"$ntds/ntds.dit"
        settle
        local peak=0
        for ((run = 0; run < RUNS; run++)); do
            for side in $( ((run % 2)) && echo "ours cp" || echo "cp ours"); do
                # The 100 MiB database is only measured for its peak.
                [ "$side" = cp ] && [ "$size" != "$FILE_MIB" ] && continue
                case $side in
                    cp)
                        timed cp "$ntds/ntds.dit" "$data/copy.bin"
                        cp_time=$(min "$SECONDS_TAKEN" "$cp_time")
                        rm -f "$data/copy.bin" ;;
                    ours)
                        # The component object makes the target before the component runs.
                        mkdir -p "$data/ad"
                        WINEPREFIX=$machine tool ad-backup 'C:\bench\ad'
                        [ "$size" = "$FILE_MIB" ] && ours=$(min "$SECONDS_TAKEN" "$ours")
                        [ "$PEAK" -gt "$peak" ] && peak=$PEAK
                        ((run > 0)) || cmp -s "$ntds/ntds.dit" "$data/ad/$saved" ||
                            { echo "bench: the directory backup differs from the database" >&2; exit 1; }
                        rm -rf "$data/ad" ;;
                esac
                settle
            done
        done
        peaks+=("$peak")
    done
    WINEPREFIX=$machine "$REPO_DIR/lab/stop" "$machine" >/dev/null 2>&1 || true
    rm -rf "$data" "$ntds/ntds.dit"
    row "$number directory backup, $name" "$ours" cp "$cp_time" throughput 0.8 "${peaks[1]}" "" "$FILE_MIB"
    NOTES+=("$number peak working set: $(mib "${peaks[0]}") for a 100 MiB database, $(mib "${peaks[1]}") for $FILE_MIB MiB: $(awk -v a="${peaks[0]}" -v b="${peaks[1]}" \
        'BEGIN { d = (b - a) / 1048576; if (d < 0) d = -d; printf "%.1f MiB apart (goal < 8 MiB) %s", d, d < 8 ? "met" : "MISSED" }')")
    echo "  ${NOTES[-1]}"
}

bench_certsrv_backup() {
    echo "bench: row 7, Certificate Services backup of a $FILE_MIB MiB database"
    # A certification authority of its own: the lab's certadm.dll serves its database through the
    # backup interface; its logs and dynamic files are removed so that only the database moves.
    local ca=$WORK/machine-ca
    "$REPO_DIR/lab/provision" "$ca" --os 2003 --role ca --build "$BUILD_DIR" >/dev/null
    cp "$BENCHTOOL" "$ca/drive_c/Program Files/Harborline/benchtool.exe"
    local certlog=$ca/drive_c/windows/system32/CertLog
    rm -f "$certlog"/edb*.log "$ca/drive_c/windows/system32/CertSrv/CertEnroll"/*
    local saved_prefix=$WINEPREFIX
    export WINEPREFIX=$ca
    "$REPO_DIR/lab/start" "$ca" >/dev/null
    local host
    host=$(wine cmd /c 'echo %COMPUTERNAME%' </dev/null 2>/dev/null | tr -d '\r\n')
    # certsrv_backup DIR: our backup into C:\bench-ca\DIR, figures from benchtool's last line.
    certsrv_backup() {
        tool certsrv-backup "C:\\bench-ca\\$1"
        read -r SECONDS_TAKEN PEAK < <(tr -d '\r' <"$OUT" | tail -1)
    }
    local data=$ca/drive_c/bench-ca ours= cp_time= peak=0 small_peak=0 run side
    mkdir -p "$data"
    # The flat memory check: the same backup of a 100 MiB database first.
    head -c $((100 * 1048576)) /dev/urandom >"$certlog/LabCA.edb"
    certsrv_backup small
    small_peak=$PEAK
    rm -rf "$data/small"
    head -c $((FILE_MIB * 1048576)) /dev/urandom >"$certlog/LabCA.edb"
    settle
    for ((run = 0; run < RUNS; run++)); do
        for side in $( ((run % 2)) && echo "ours cp" || echo "cp ours"); do
            case $side in
                cp)
                    timed cp "$certlog/LabCA.edb" "$data/copy.edb"
                    cp_time=$(min "$SECONDS_TAKEN" "$cp_time") ;;
                ours)
                    certsrv_backup ours
                    ours=$(min "$SECONDS_TAKEN" "$ours")
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK
                    ((run > 0)) || cmp -s "$certlog/LabCA.edb" "$data/ours/CertSrv/$host/C\$/windows/system32/CertLog/LabCA.edb" ||
                        { echo "bench: the backed-up database differs from the live one" >&2; exit 1; } ;;
            esac
            rm -rf "$data/copy.edb" "$data/ours"
            settle
        done
    done
    "$REPO_DIR/lab/stop" "$ca" >/dev/null
    rm -rf "$data" "$certlog/LabCA.edb"
    export WINEPREFIX=$saved_prefix
    row "7 Certificate Services backup" "$ours" cp "$cp_time" throughput 0.8 "$peak" "" "$FILE_MIB"
    NOTES+=("7 peak working set: $(mib "$small_peak") for a 100 MiB database, $(mib "$peak") for $FILE_MIB MiB: $(awk \
        -v a="$small_peak" -v b="$peak" 'BEGIN { d = (b - a) / 1048576; if (d < 0) d = -d
            printf "%.1f MiB apart (goal < 8 MiB) %s", d, d < 8 ? "met" : "MISSED" }')")
    echo "  ${NOTES[-1]}"
}

for number in $ROWS; do
    case $number in
        1) bench_file_copy ;;
        2) bench_tree_copy ;;
        3) bench_registry_backup ;;
        4) bench_sysvol_backup ;;
        5) bench_bootfiles_backup ;;
        6) bench_directory_backup 6 2003 "$DC_MACHINE" ntds.dit "API path" ;;
        7) bench_certsrv_backup ;;
        8) bench_catalog_hash ;;
        9) bench_manifest_read ;;
        10) bench_directory_backup 10 2008 "$WRITER_DC_MACHINE" ntds/C/windows/NTDS/ntds.dit "writer path" ;;
        *) echo "bench: no row $number" >&2; exit 2 ;;
    esac
done

echo
echo "bench: best of $RUNS timings per side ($TREE_RUNS for the tree), $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%s\n' "${RESULTS[@]}"
[ ${#NOTES[@]} -eq 0 ] || printf '  %s\n' "${NOTES[@]}"
