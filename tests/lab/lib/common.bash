# Shared by the lab tests: each test gets the win64 build tree as $1 and provisions its own lab
# machines below it.
set -uo pipefail

BUILD_DIR=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
LAB=$REPO_DIR/lab
MACHINES=$BUILD_DIR/lab-machines
export QM_BUILD_DIR=$BUILD_DIR
FAILURES=0

fail() {
    echo "FAIL: $*" >&2
    FAILURES=$((FAILURES + 1))
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
    if [ "$2" != "$3" ]; then
        fail "$1: expected [$2], got [$3]"
    fi
}

# expect_contains WHAT NEEDLE HAYSTACK
expect_contains() {
    case $3 in
        *"$2"*) ;;
        *) fail "$1: expected to contain [$2], got [$3]" ;;
    esac
}

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

finish() {
    [ "$FAILURES" -eq 0 ] || { echo "$FAILURES check(s) failed" >&2; exit 1; }
    echo "all checks passed"
    exit 0
}
