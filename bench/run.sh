#!/bin/bash
# bench/run.sh BUILD_DIR: what `make bench` runs. Each row times our code and a reference on the
# same data, in turn, in one run on this machine, and prints both figures and their ratio;
# bench/README.md says how to read the table.
#
# Settings (environment): BENCH_RUNS (timings of each side per row after one untimed run of
# each, the median kept; default 7), BENCH_TREE_RUNS (the same for the tree rows; 3), BENCH_FILE_MIB (1024), BENCH_TREE_FILES (20000),
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
# A reference whose longest timing is more than this many times its shortest one was disturbed
# too much to judge a goal by.
STEADY_SPREAD=2
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

# Every side of a row runs once untimed first (run -1: the same caches and the same first-time
# costs for all of them), then RUNS times; its median counts.
declare -A TIMES=()
# record SIDE: SECONDS_TAKEN counts for SIDE, unless this is the untimed run.
record() {
    ((run < 0)) || TIMES[$1]+=" $SECONDS_TAKEN"
}
# median SIDE: the median of the side's timings.
median() {
    printf '%s\n' ${TIMES[$1]} | sort -g |
        awk '{ a[NR] = $1 } END { printf "%.6f", NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
# seconds SIDE: the side's median as a figure to read, to the millisecond.
seconds() {
    printf '%.3f' "$(median "$1")"
}
# spread SIDE: the side's longest timing over its shortest.
spread() {
    printf '%s\n' ${TIMES[$1]} | sort -g | awk 'NR == 1 { low = $1 } { high = $1 } END { printf "%.2f", (low > 0 ? high / low : 0) }'
}
# turns RUN SIDE...: the sides in the order of this run, turned by one each run, so that no side
# always follows the same one.
turns() {
    local run=$1
    shift
    printf '%s\n' "$@" | awk -v r="$run" '{ a[NR - 1] = $0 } END { for (i = 0; i < NR; i++) print a[((i + r) % NR + NR) % NR] }'
}

mib() {
    awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'
}

RESULTS=()
NOTES=()
# row NAME OURS_SIDE REFERENCE_NAME REFERENCE_SIDE KIND GOAL PEAK [PEAK_LIMIT_MIB] [AMOUNT_MIB]
#   The sides' medians are compared (a side named "=SECONDS" is that time, with no spread).
#   KIND "throughput": ratio = reference time / our time, goal is a minimum.
#   KIND "time":       ratio = our time / reference time, goal is a maximum.
#   GOAL "-": a row that is measured and has no goal.
#   A reference that moved by more than STEADY_SPREAD times between its runs judges nothing: the
#   row says how far it moved instead of met or MISSED.
row() {
    local name=$1 ours=$2 refname=$3 ref=$4 kind=$5 goal=$6 peak=$7 limit=${8:-} amount=${9:-}
    local line moved=0
    if [ "${ref:0:1}" = = ]; then ref=${ref:1}; else moved=$(spread "$ref"); ref=$(median "$ref"); fi
    ours=$(median "$ours")
    line=$(awk -v name="$name" -v ours="$ours" -v refname="$refname" -v ref="$ref" -v kind="$kind" \
               -v goal="$goal" -v peak="$peak" -v limit="$limit" -v amount="$amount" \
               -v moved="$moved" -v steady="$STEADY_SPREAD" 'BEGIN {
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
        if (moved > steady) verdict = sprintf("UNSTEADY (the %s timings moved %.1fx)", refname, moved)
        printf "%-34s %-50s ratio %.2fx (goal %s)  %s  %s", name, figures, ratio, goaltext, peaktext, verdict
    }')
    RESULTS+=("$line")
    echo "  $line"
}

bench_file_copy() {
    echo "bench: row 1, one file of $FILE_MIB MiB"
    head -c $((FILE_MIB * 1048576)) /dev/urandom >"$DATA/source.bin"
    settle
    local peak=0 run side
    TIMES=()
    for ((run = -1; run < RUNS; run++)); do
        for side in $(turns "$run" cp ours platform); do
            case $side in
                cp)
                    timed cp "$DATA/source.bin" "$DATA/copy.bin" ;;
                ours)
                    tool copy-ours "$DATA_WIN\\source.bin" "$DATA_WIN\\copy.bin"
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
                platform)
                    tool copy-platform "$DATA_WIN\\source.bin" "$DATA_WIN\\copy.bin" ;;
            esac
            record "$side"
            # Each side's first (untimed) copy is checked; comparing 1 GiB every time would double the run.
            ((run >= 0)) || cmp -s "$DATA/source.bin" "$DATA/copy.bin" ||
                { echo "bench: the $side copy differs from its source" >&2; exit 1; }
            rm -f "$DATA/copy.bin"
            settle
        done
    done
    rm -f "$DATA/source.bin"
    row "1 Files::Copy, 1 file" ours cp cp throughput 0.8 "$peak" 64 "$FILE_MIB"
    row "1 Files::Copy, 1 file" ours CopyFileW platform throughput 0.95 "$peak" 64 "$FILE_MIB"
}

# tree_row ROW NAME SOURCE SOURCE_WIN: times our side (tree_ours, which copies SOURCE_WIN and
# sets OURS_COPY to where the copy lands) against two references on the same tree: cp -r, and a
# plain walk in the lab machine that calls CopyFileW for each file (benchtool tree-platform). Rows
# 2 and 4 both use it, so that their references, on the same tree, agree within the noise.
TREE_REFERENCES=()
tree_row() {
    local number=$1 name=$2 source=$3 source_win=$4 peak=0 run side copy
    local megabytes
    megabytes=$(du -sm --apparent-size "$source" | cut -f1)
    settle
    TIMES=()
    for ((run = -1; run < TREE_RUNS; run++)); do
        for side in $(turns "$run" cp walk ours); do
            copy=$DATA/copy
            case $side in
                cp)
                    timed cp -r "$source" "$DATA/copy" ;;
                walk)
                    tool tree-platform "$source_win" "$DATA_WIN\\copy" ;;
                ours)
                    tree_ours
                    copy=$OURS_COPY
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            record "$side"
            # Each side's first (untimed) copy is checked.
            ((run >= 0)) || diff -r -q "$source" "$copy" >/dev/null ||
                { echo "bench: the $side copy of row $number differs from its source" >&2; exit 1; }
            rm -rf "$DATA/copy" "$DATA/ours"
            settle
        done
    done
    row "$number $name" ours "cp -r" cp throughput 0.5 "$peak" "" "$megabytes"
    row "$number $name" ours "CopyFileW walk" walk throughput 0.9 "$peak" "" "$megabytes"
    TREE_REFERENCES+=("row $number: cp -r $(seconds cp) s, CopyFileW walk $(seconds walk) s")
}

bench_tree_copy() {
    echo "bench: row 2, a tree of $TREE_FILES files"
    perl "$BENCH_DIR/make-tree.pl" "$DATA/tree" "$TREE_FILES"
    tree_ours() {
        tool tree-ours "$DATA_WIN\\tree" "$DATA_WIN\\ours"
        OURS_COPY=$DATA/ours
    }
    tree_row 2 "Directories::Copy, $TREE_FILES files" "$DATA/tree" "$DATA_WIN\\tree"
    # What the platform charges for opening and closing each file, once: a floor under any copy
    # of the tree in the lab machine, to read a missed goal by.
    tool tree-open "$DATA_WIN\\tree"
    local floor=$SECONDS_TAKEN
    rm -rf "$DATA/tree"
    NOTES+=("2 open+close of every file alone in the lab machine: $(awk -v f="$floor" -v c="$(median cp)" -v o="$(median ours)" \
        'BEGIN { printf "%.3f s, %.2fx the time of cp -r, %.0f%% of our copy time", f, f / c, 100 * f / o }')")
    echo "  ${NOTES[-1]}"
}

bench_registry_backup() {
    echo "bench: row 3, registry backup with $REG_VALUES values added to SOFTWARE"
    tool fill-registry 'SOFTWARE\QmBench' "$REG_VALUES"
    local peak=0 run side
    TIMES=()
    for ((run = -1; run < RUNS; run++)); do
        for side in $(turns "$run" bare ours); do
            case $side in
                bare)
                    tool backup-bare "$DATA_WIN\\bare" ;;
                ours)
                    tool backup-ours "$DATA_WIN\\ours"
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            record "$side"
            if [ -d "$DATA/ours" ] && [ -d "$DATA/bare" ]; then
                # Both sides saved the same hives.
                [ "$(find "$DATA/ours/Reg" -type f | wc -l)" -eq "$(find "$DATA/bare" -type f | wc -l)" ] ||
                    { echo "bench: the backup and the bare save wrote different numbers of hives" >&2; exit 1; }
                rm -rf "$DATA/bare" "$DATA/ours"
            fi
            settle
        done
    done
    row "3 registry backup" ours RegSaveKey bare time 1.1 "$peak"
    # The backup's work besides the saves, part by part (benchtool backup-parts), so that a missed
    # goal can be read by what the platform charges for each.
    local parts
    for ((run = 0; run < RUNS; run++)); do
        tool backup-parts "$DATA_WIN\\parts"
        read -r parts < <(tr -d '\r' <"$OUT")
        set -- $parts
        TIMES[xml]+=" $1" TIMES[manifest]+=" $2" TIMES[drives]+=" $3" TIMES[folders]+=" $4"
        rm -rf "$DATA/parts"
    done
    NOTES+=("3 besides the saves (medians): first XML document $(seconds xml) s (once per process: the COM apartment and the XML library's load), manifest $(seconds manifest) s, drive letters $(seconds drives) s ($5 DOS names listed), folders $(seconds folders) s; our side's median is $(awk -v o="$(median ours)" -v b="$(median bare)" 'BEGIN { printf "%.3f", o - b }') s over the bare saves")
    echo "  ${NOTES[-1]}"
}

bench_sysvol_backup() {
    echo "bench: row 4, SysVol backup of a tree of $TREE_FILES files"
    # The machine's own SysVol tree: SystemVolume::Backup copies what %SystemRoot% holds. Spelt
    # as the component spells it: Wine finds a name of another case by reading the whole folder,
    # on every open below it, a cost NTFS does not have.
    local live=$MACHINE/drive_c/windows/SysVol
    rm -rf "$live"
    perl "$BENCH_DIR/make-tree.pl" "$live" "$TREE_FILES"
    tree_ours() {
        # The component object makes the target before any component runs.
        mkdir -p "$DATA/ours"
        tool sysvol-ours "$DATA_WIN\\ours"
        OURS_COPY=$DATA/ours/SysVol/C/windows/SysVol
    }
    tree_row 4 "SysVol backup, $TREE_FILES files" "$live" 'C:\windows\SysVol'
    rm -rf "$live"
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
    local peak=0 run side files
    TIMES=()
    for ((run = -1; run < RUNS; run++)); do
        for side in $(turns "$run" cp ours); do
            case $side in
                cp)
                    mkdir -p "$DATA/cp"
                    timed bash -c 'cd "$1" && shift && cp -r --parents "$@" "'"$DATA/cp"'"' - "$MACHINE/drive_c" "${BOOT_SOURCES[@]}" ;;
                ours)
                    mkdir -p "$DATA/boot"
                    tool bootfiles-ours "$DATA_WIN\\boot"
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            record "$side"
            settle
        done
        # Both sides copied the same files (the backup adds its manifest).
        files=$(find "$DATA/boot" -type f | wc -l)
        [ "$files" -eq $(($(find "$DATA/cp" -type f | wc -l) + 1)) ] ||
            { echo "bench: the boot-files backup saved $files files, cp copied $(find "$DATA/cp" -type f | wc -l)" >&2; exit 1; }
        rm -rf "$DATA/boot" "$DATA/cp"
    done
    row "5 boot-files backup, $((files - 1)) files" ours cp cp time - "$peak"
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
    local peak=0 run side
    TIMES=()
    for ((run = -1; run < RUNS; run++)); do
        for side in $(turns "$run" sha256sum ours); do
            case $side in
                sha256sum)
                    timed bash -c 'cd "$1" && xargs -d "\n" sha256sum >"$2"' _ "$DATA/backup" "$WORK/reference.sums" <<<"$files" ;;
                ours)
                    rm -f "$DATA/backup/SHA256SUMS"
                    tool hash-ours "$DATA_WIN\\backup"
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK ;;
            esac
            record "$side"
        done
    done
    # Our catalog says what sha256sum says, line for line.
    cmp -s <(sort -k2 "$WORK/reference.sums") <(sort -k2 "$DATA/backup/SHA256SUMS") ||
        { echo "bench: the catalog differs from sha256sum's" >&2; exit 1; }
    rm -rf "$DATA/backup" "$WORK/reference.sums"
    row "8 catalog hashing" ours sha256sum sha256sum throughput 0.8 "$peak" 64 "$FILE_MIB"
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
    local long=$((MANIFEST_ENTRIES * 8)) peak=0 run
    echo "bench: row 9, reading registry manifests of $MANIFEST_ENTRIES and $long entries"
    manifest "$DATA/short" "$MANIFEST_ENTRIES"
    manifest "$DATA/long" "$long"
    TIMES=()
    for ((run = -1; run < RUNS; run++)); do
        tool read-manifest "$DATA_WIN\\short" "$MANIFEST_ENTRIES"
        record short
        tool read-manifest "$DATA_WIN\\long" "$long"
        record long
        [ "$PEAK" -gt "$peak" ] && peak=$PEAK
    done
    local short
    short=$(median short)
    NOTES+=("row 9: $(mib "$(stat -c %s "$DATA/short/RegistryBackupSet.xml")") read in $(seconds short) s")
    row "9 manifest read, 8x the entries" long "8 x shorter" "=$(awk -v s="$short" 'BEGIN { print 8 * s }')" time 1.5 "$peak"
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
    local peaks=() size run side
    TIMES=()
    for size in 100 "$FILE_MIB"; do
        head -c $((size * 1048576)) /dev/urandom >"$ntds/ntds.dit"
        settle
        local peak=0
        for ((run = -1; run < RUNS; run++)); do
            for side in $(turns "$run" cp ours); do
                # The 100 MiB database is only measured for its peak.
                [ "$side" = cp ] && [ "$size" != "$FILE_MIB" ] && continue
                case $side in
                    cp)
                        timed cp "$ntds/ntds.dit" "$data/copy.bin"
                        record cp
                        rm -f "$data/copy.bin" ;;
                    ours)
                        # The component object makes the target before the component runs.
                        mkdir -p "$data/ad"
                        WINEPREFIX=$machine tool ad-backup 'C:\bench\ad'
                        [ "$size" != "$FILE_MIB" ] || record ours
                        [ "$PEAK" -gt "$peak" ] && peak=$PEAK
                        ((run >= 0)) || cmp -s "$ntds/ntds.dit" "$data/ad/$saved" ||
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
    row "$number directory backup, $name" ours cp cp throughput 0.8 "${peaks[1]}" "" "$FILE_MIB"
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
    local data=$ca/drive_c/bench-ca peak=0 small_peak=0 run side
    mkdir -p "$data"
    # The flat memory check: the same backup of a 100 MiB database first.
    head -c $((100 * 1048576)) /dev/urandom >"$certlog/LabCA.edb"
    certsrv_backup small
    small_peak=$PEAK
    rm -rf "$data/small"
    head -c $((FILE_MIB * 1048576)) /dev/urandom >"$certlog/LabCA.edb"
    settle
    TIMES=()
    for ((run = -1; run < RUNS; run++)); do
        for side in $(turns "$run" cp ours); do
            case $side in
                cp)
                    timed cp "$certlog/LabCA.edb" "$data/copy.edb" ;;
                ours)
                    certsrv_backup ours
                    [ "$PEAK" -gt "$peak" ] && peak=$PEAK
                    ((run >= 0)) || cmp -s "$certlog/LabCA.edb" "$data/ours/CertSrv/$host/C\$/windows/system32/CertLog/LabCA.edb" ||
                        { echo "bench: the backed-up database differs from the live one" >&2; exit 1; } ;;
            esac
            record "$side"
            rm -rf "$data/copy.edb" "$data/ours"
            settle
        done
    done
    "$REPO_DIR/lab/stop" "$ca" >/dev/null
    rm -rf "$data" "$certlog/LabCA.edb"
    export WINEPREFIX=$saved_prefix
    row "7 Certificate Services backup" ours cp cp throughput 0.8 "$peak" "" "$FILE_MIB"
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
echo "bench: median of $RUNS timings per side after one untimed run ($TREE_RUNS for the trees), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%s\n' "${RESULTS[@]}"
[ ${#TREE_REFERENCES[@]} -eq 0 ] || NOTES+=("references on the same tree: $(IFS=';'; echo "${TREE_REFERENCES[*]}" | sed 's/;/; /g')")
[ ${#NOTES[@]} -eq 0 ] || printf '  %s\n' "${NOTES[@]}"
