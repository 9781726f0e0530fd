# Shared by the lab tests: each test gets the win64 build tree as $1 and provisions its own lab
# machines below it.
set -uo pipefail

BUILD_DIR=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
LAB=$REPO_DIR/lab
MACHINES=$BUILD_DIR/lab-machines
export QM_BUILD_DIR=$BUILD_DIR
FAILURES=0

fail() { echo "FAIL: $*" >&2; FAILURES=$((FAILURES + 1)); }
# expect_eq WHAT EXPECTED ACTUAL; expect_contains WHAT NEEDLE HAYSTACK
expect_eq() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }
expect_contains() { [[ $3 == *"$2"* ]] || fail "$1: expected to contain [$2], got [$3]"; }
# expect_exit WHAT CODE TEXT: the last command (run_in or result) ended with CODE, TEXT on stderr.
expect_exit() { expect_eq "$1: exit" "$2" "$RC"; expect_contains "$1" "$3" "$ERR"; }

# provision NAME OPTIONS...: the fresh lab machine $MACHINES/NAME, made and started in the
# background (machines_ready waits for them); every machine is stopped however the test ends.
# A test that passes removes its machines (each holds most of a gigabyte, and a whole suite of
# them fills a disk); a failed test leaves them for a look, as does LAB_KEEP=1.
STARTED=() PROVISIONING=()
provision() {
    STARTED+=("$MACHINES/$1")
    { "$LAB/provision" "$MACHINES/$1" "${@:2}" >/dev/null && "$LAB/start" "$MACHINES/$1"; } &
    PROVISIONING+=($!)
}
machines_ready() {
    local pid
    for pid in "${PROVISIONING[@]}"; do wait "$pid" || { echo "provisioning a lab machine failed" >&2; exit 1; }; done
    PROVISIONING=()
}
# lab_machine NAME OPTIONS...: a test's one machine, provisioned and started: MACHINE, its drives C and E.
lab_machine() { provision "$@"; machines_ready; MACHINE=$MACHINES/$1 C=$MACHINES/$1/drive_c E=$MACHINES/$1/drive_e; }
stop_machines() {
    local status=$? machine
    wait
    for machine in "${STARTED[@]}"; do [ ! -f "$machine/system.reg" ] || "$LAB/stop" "$machine"; done
    if [ "$status" -eq 0 ] && [ -z "${LAB_KEEP:-}" ]; then
        for machine in "${STARTED[@]}"; do rm -rf "$machine"; done
    fi
}
trap stop_machines EXIT
trap 'exit 1' INT TERM

# run_in MACHINE COMMAND...: sets OUT, ERR and RC.
run_in() {
    local out err
    out=$(mktemp) err=$(mktemp)
    "$LAB/run" "$@" >"$out" 2>"$err"
    RC=$?
    OUT=$(tr -d '\r' <"$out") ERR=$(tr -d '\r' <"$err")
    rm -f "$out" "$err"
}

# Commands run in one session of a machine, each session costing a second or more:
#   step NAME COMMAND         queues COMMAND; after steps_run, result NAME reads back its output,
#                             errors and exit code into OUT, ERR and RC
#   step - LINE               queues a batch line whose outcome is not read (a knob, a variable)
#   held_step FILE NAME CMD   step NAME, run while FILE is held open without sharing
#   steps_run MACHINE         runs what is queued, in one cmd, and empties the queue
#   steps_save MACHINE FILE   writes what is queued into the batch file C:\steps\FILE instead
# Names are file names: unique within a run, and read back before the next run.
STEPS=() STEPS_DIR= HOLDS=0
step() {
    if [ "$1" = - ]; then STEPS+=("$2"); return; fi
    STEPS+=("$2 >C:\\steps\\$1.out 2>C:\\steps\\$1.err" ">C:\\steps\\$1.rc echo %errorlevel%")
}
held_step() {
    local hold="C:\\steps\\hold$((++HOLDS))"
    STEPS+=("start \"\" /b labservice hold \"$1\" $hold" ":held$HOLDS"
        "if not exist $hold\\held if not exist $hold\\failed goto held$HOLDS")
    step "$2" "$3"
    STEPS+=("echo.>$hold\\release" ":released$HOLDS" "if exist $hold\\held goto released$HOLDS")
}
steps_save() {
    STEPS_DIR=$1/drive_c/steps
    mkdir -p "$STEPS_DIR"
    printf '%s\r\n' '@echo off' "${STEPS[@]}" >"$STEPS_DIR/$2"
    STEPS=()
}
steps_run() {
    local held
    rm -rf "$1/drive_c/steps"
    steps_save "$1" run.cmd
    run_in "$1" cmd /c 'C:\steps\run.cmd'
    for held in "$STEPS_DIR"/hold*/failed; do [ ! -e "$held" ] || fail "a file to hold could not be opened"; done
}
result() {
    OUT=$(tr -d '\r' <"$STEPS_DIR/$1.out" 2>/dev/null) ERR=$(tr -d '\r' <"$STEPS_DIR/$1.err" 2>/dev/null)
    RC=$(tr -d '\r ' <"$STEPS_DIR/$1.rc" 2>/dev/null)
}

# tree_hashes DIR...: every file below the folders (as named, those there) with its hash, to
# compare before and after; no folders, nothing (not the current one).
tree_hashes() { [ $# -eq 0 ] || find "$@" -type f -exec sha256sum {} + 2>/dev/null | sort -k2; }
# renames TEXT: the pending renames in what "reg query ... /v PendingFileRenameOperations"
# printed, one name a line (reg shows the separators as "\0"; no name of the lab begins with a
# digit 0 after a backslash).
renames() { printf '%s' "$1" | grep -o 'REG_MULTI_SZ.*' | sed 's/^REG_MULTI_SZ *//; s/\\0/\n/g'; }
SESSION_MANAGER='HKLM\System\CurrentControlSet\Control\Session Manager'
# service_states TEXT: "NAME=STATE" of each service that sc query printed in TEXT, one a line.
service_states() { tr -d '\r' <<<"$1" | awk '$1 == "SERVICE_NAME:" { name = $2 } $1 == "STATE" { print name "=" $4 }'; }

# expect_closed WHAT SDDL: the security descriptor that sectool printed was read and lets
# Everyone in nowhere.
expect_closed() {
    expect_contains "$1: read back" 'D:' "$2"
    expect_eq "$1 keeps everyone out" "" "$(grep -F ';;;WD)' <<<"$2")"
}
# same_files WHAT DIR1 DIR2 NAMES...: the named files are identical in both folders.
same_files() {
    local name
    for name in "${@:4}"; do cmp -s "$2/$name" "$3/$name" || fail "$1: $name differs"; done
}
# big_sparse FILE: FILE made a sparse file past 4 GiB, with text at its start and at its end.
# expect_big_copy WHAT LIVE COPY: COPY is LIVE whole, its zero blocks left off the disk.
big_sparse() {
    rm -f "$1"
    truncate -s $((4 * 1024 * 1024 * 1024 + 40000)) "$1"
    printf 'FIRST' | dd of="$1" conv=notrunc status=none
    printf 'PAST4GIB' | dd of="$1" bs=1 seek=$((4 * 1024 * 1024 * 1024 + 39992)) conv=notrunc status=none
}
expect_big_copy() {
    expect_eq "$1: size" "$(stat -c %s "$2")" "$(stat -c %s "$3" 2>/dev/null)"
    expect_eq "$1: first and last bytes" "FIRST PAST4GIB" "$(head -c 5 "$3" 2>/dev/null) $(tail -c 8 "$3" 2>/dev/null)"
    [ "$(du -k "$3" | cut -f1)" -lt 1024 ] || fail "$1: the copy takes $(du -k "$3" | cut -f1) KiB of disk"
}

finish() {
    [ "$FAILURES" -eq 0 ] || { echo "$FAILURES check(s) failed" >&2; exit 1; }
    echo "all checks passed"
    exit 0
}
