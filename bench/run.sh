#!/bin/bash
# bench/run.sh BUILD_DIR: what `make bench` runs. Each row times our code and a reference on the
# same data, in turn, in one run on this machine, and prints both figures and their ratio;
# bench/README.md says how to read the table.
#
# Settings (environment): BENCH_RUNS (timings of each side per row, the best kept; default 7),
# BENCH_TREE_RUNS (the same for the tree row; 3), BENCH_FILE_MIB (1024), BENCH_TREE_FILES (20000),
# BENCH_REG_VALUES (200000), BENCH_ROWS (the rows to run; "1 2 3 7"), BENCH_TOOL (another build's
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
ROWS=${BENCH_ROWS:-1 2 3 7}

BENCHTOOL=${BENCH_TOOL:-$BUILD_DIR/bench/benchtool/benchtool.exe}
[ -f "$BENCHTOOL" ] || { echo "bench: $BENCHTOOL is not built (make build64)" >&2; exit 1; }

WORK=$BUILD_DIR/bench-run
MACHINE=$WORK/machine
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
row() {
    local name=$1 ours=$2 refname=$3 ref=$4 kind=$5 goal=$6 peak=$7 limit=${8:-} amount=${9:-}
    local line
    line=$(awk -v name="$name" -v ours="$ours" -v refname="$refname" -v ref="$ref" -v kind="$kind" \
               -v goal="$goal" -v peak="$peak" -v limit="$limit" -v amount="$amount" 'BEGIN {
        if (kind == "throughput") { ratio = ref / ours; met = ratio >= goal; goaltext = ">= " goal "x" }
        else { ratio = ours / ref; met = ratio <= goal; goaltext = "<= " goal "x" }
        figures = sprintf("ours %.3f s, %s %.3f s", ours, refname, ref)
        if (amount != "") figures = figures sprintf(" (%.0f vs %.0f MiB/s)", amount / ours, amount / ref)
        peaktext = sprintf("peak %.1f MiB", peak / 1048576)
        verdict = met ? "met" : "MISSED"
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
        7) bench_certsrv_backup ;;
        *) echo "bench: no row $number" >&2; exit 2 ;;
    esac
done

echo
echo "bench: best of $RUNS timings per side ($TREE_RUNS for the tree), $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%s\n' "${RESULTS[@]}"
[ ${#NOTES[@]} -eq 0 ] || printf '  %s\n' "${NOTES[@]}"
