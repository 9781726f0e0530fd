#!/bin/bash
# bench/run.sh BUILD_DIR: what `make bench` runs. Each row times our code and a reference on the
# same data, in turn, in one run on this machine, and prints both figures and their ratio;
# bench/README.md says how to read the table.
#
# Settings (environment): BENCH_RUNS (timings of each side per row, the best kept; default 7),
# BENCH_TREE_RUNS (the same for the tree row; 3), BENCH_FILE_MIB (1024), BENCH_TREE_FILES (20000),
# BENCH_REG_VALUES (200000), BENCH_ROWS (the rows to run; "1 2 3 6"), BENCH_TOOL (another build's
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
ROWS=${BENCH_ROWS:-1 2 3 6}

BENCHTOOL=${BENCH_TOOL:-$BUILD_DIR/bench/benchtool/benchtool.exe}
[ -f "$BENCHTOOL" ] || { echo "bench: $BENCHTOOL is not built (make build64)" >&2; exit 1; }

WORK=$BUILD_DIR/bench-run
MACHINE=$WORK/machine
# Row 6's domain controller.
DC_MACHINE=$WORK/dc-machine
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

# Row 6: the directory backup through the API in a domain controller of its own, against cp of the
# database; the peak working set must not grow with the database.
bench_directory_backup() {
    echo "bench: row 6, directory backup of a $FILE_MIB MiB database through the backup API"
    "$REPO_DIR/lab/provision" "$DC_MACHINE" --os 2003 --role dc --build "$BUILD_DIR" >/dev/null
    cp "$BENCHTOOL" "$DC_MACHINE/drive_c/Program Files/Harborline/benchtool.exe"
    local ntds=$DC_MACHINE/drive_c/windows/NTDS data=$DC_MACHINE/drive_c/bench
    WINEPREFIX=$DC_MACHINE "$REPO_DIR/lab/start" "$DC_MACHINE" >/dev/null
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
                        WINEPREFIX=$DC_MACHINE tool ad-backup 'C:\bench\ad'
                        [ "$size" = "$FILE_MIB" ] && ours=$(min "$SECONDS_TAKEN" "$ours")
                        [ "$PEAK" -gt "$peak" ] && peak=$PEAK
                        ((run > 0)) || cmp -s "$ntds/ntds.dit" "$data/ad/ntds.dit" ||
                            { echo "bench: the directory backup differs from the database" >&2; exit 1; }
                        rm -rf "$data/ad" ;;
                esac
                settle
            done
        done
        peaks+=("$peak")
    done
    WINEPREFIX=$DC_MACHINE "$REPO_DIR/lab/stop" "$DC_MACHINE" >/dev/null 2>&1 || true
    rm -rf "$data" "$ntds/ntds.dit"
    row "6 directory backup, API path" "$ours" cp "$cp_time" throughput 0.8 "${peaks[1]}" "" "$FILE_MIB"
    NOTES+=("6 peak working set: $(mib "${peaks[0]}") for a 100 MiB database, $(mib "${peaks[1]}") for $FILE_MIB MiB: $(awk -v a="${peaks[0]}" -v b="${peaks[1]}" \
        'BEGIN { d = (b - a) / 1048576; if (d < 0) d = -d; printf "%.1f MiB apart (goal < 8 MiB) %s", d, d < 8 ? "met" : "MISSED" }')")
    echo "  ${NOTES[-1]}"
}

for number in $ROWS; do
    case $number in
        1) bench_file_copy ;;
        2) bench_tree_copy ;;
        3) bench_registry_backup ;;
        6) bench_directory_backup ;;
        *) echo "bench: no row $number" >&2; exit 2 ;;
    esac
done

echo
echo "bench: best of $RUNS timings per side ($TREE_RUNS for the tree), $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%s\n' "${RESULTS[@]}"
[ ${#NOTES[@]} -eq 0 ] || printf '  %s\n' "${NOTES[@]}"
