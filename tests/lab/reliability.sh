#!/bin/bash
# Reliability of restores: a restore that fails at any of its destructive steps leaves the server
# as it was. One lab machine (a 2003 domain controller and certification authority) takes one
# backup of every component; then a restore of one component at a time is made to fail at one
# step, and after each: exit 1 (with the case's text), the component's live files byte for byte,
# its services' states and the session manager's values (the renames waiting for the next start,
# whether protected files may be renamed) as before. At the end the backup folder is byte for
# byte as it was taken, and a verified restore of every component from it succeeds.
#
# The cases come from tests/lab/reliability/<component>.bash, one file per component; it must:
#   - append its name to RELIABILITY_COMPONENTS and set RELIABILITY_OPTION_<name> (ssbr's option);
#     it may set, for <name>, RELIABILITY_ENV_ (a variable its restores see), RELIABILITY_LIVE_ (its
#     live folders and files, Unix paths below C:), RELIABILITY_KEYS_ (live keys, one a line) and
#     RELIABILITY_SERVICES_ (services whose state a failed restore must keep);
#   - may define reliability_setup_<name>, which prints cmd lines run once before its cases (to
#     make the live state differ from the backup, so that a restore that went ahead would show);
#   - define reliability_cases_<name>, which calls, per case, `fail_case NAME [EXPECTED_TEXT]` and
#     then sets what makes that restore fail: BEFORE+=('cmd line') run just before the restore (a
#     knob, a blocked path), AFTER+=('cmd line') run just after it whatever happened (undo it),
#     `knob KEY NAME DWORD` (a lab setting for the case), HOLD='C:\path' (a file held open
#     without sharing for the length of the restore).
#     The backup is the shared one at C:\reliability\backup ($BACKUP, $BACKUP_WIN); no case changes it.
source "$(dirname "$0")/lib/common.bash"

RELIABILITY_COMPONENTS=()
for file in "$(dirname "$0")"/reliability/*.bash; do source "$file"; done

lab_machine reliability --os 2003 --role dc --role ca
WORK=$C/reliability
BACKUP=$WORK/backup BACKUP_WIN='C:\reliability\backup'
rm -rf "$WORK"
mkdir -p "$WORK"

options=()
for component in "${RELIABILITY_COMPONENTS[@]}"; do
    option=RELIABILITY_OPTION_$component
    options+=("${!option}")
done
run_in "$MACHINE" ssbr backup "$BACKUP_WIN" "${options[@]}"
expect_eq "the backup ($ERR)" 0 "$RC"
backup_hashes() { tree_hashes "$BACKUP"; (cd "$BACKUP" && find . | sort); }
BACKUP_BEFORE=$(backup_hashes)

# The state a failed restore must keep: the live files' hashes and the services' states.
live_state() {
    local live services
    live=RELIABILITY_LIVE_$1 services=RELIABILITY_SERVICES_$1
    for live in ${!live:-}; do (cd "$C" && find "$live" 2>/dev/null | sort && tree_hashes "$live"); done
    for service in ${!services:-}; do result "service-$service"; service_states "$OUT"; done
    cat "$STEPS_DIR"/key-*.out 2>/dev/null | tr -d '\r'
}
# queue_queries COMPONENT: steps that read its services, its keys and the session manager's values.
queue_queries() {
    local services=RELIABILITY_SERVICES_$1 keys=RELIABILITY_KEYS_$1 service key number=0
    for service in ${!services:-}; do step "service-$service" "sc query $service"; done
    while IFS= read -r key; do
        [ -z "$key" ] || step "key-$((++number))" "hivetool key \"$key\""
    done <<<"${!keys:-}"
    step session "reg query \"$SESSION_MANAGER\""
}
session_manager() { result session; echo "$OUT"; }

# fail_case NAME [TEXT]: the next case of the current component.
CASES=0
# knob KEY NAME DWORD: the lab's setting NAME holds DWORD for the case.
knob() {
    BEFORE+=("reg add \"$1\" /v $2 /t REG_DWORD /d $3 /f > nul") AFTER+=("reg delete \"$1\" /v $2 /f > nul")
}
fail_case() {
    [ -z "${CASE:-}" ] || run_case
    CASE=$COMPONENT-$1 CASE_TEXT=${2:-} BEFORE=() AFTER=() HOLD=
}
run_case() {
    local option=RELIABILITY_OPTION_$COMPONENT env=RELIABILITY_ENV_$COMPONENT restore line
    CASES=$((CASES + 1))
    restore="ssbr restore $BACKUP_WIN ${!option} --no-verify"
    step - "set \"${!env:-SAFEBOOT_OPTION=}\""
    for line in "${BEFORE[@]}"; do step - "$line"; done
    if [ -n "$HOLD" ]; then held_step "$HOLD" restore "$restore"; else step restore "$restore"; fi
    for line in "${AFTER[@]}"; do step - "$line"; done
    queue_queries "$COMPONENT"
    steps_run "$MACHINE"
    result restore
    expect_eq "$CASE: exit ($(head -3 <<<"$ERR"))" 1 "$RC"
    [ -z "$CASE_TEXT" ] || expect_contains "$CASE: text" "$CASE_TEXT" "$ERR"
    expect_eq "$CASE: the live files and services" "$LIVE_BEFORE" "$(live_state "$COMPONENT")"
    expect_eq "$CASE: renames waiting" "$SESSION_BEFORE" "$(session_manager)"
}

started=$(date +%s)
for COMPONENT in "${RELIABILITY_COMPONENTS[@]}"; do
    if declare -F "reliability_setup_$COMPONENT" >/dev/null; then
        while read -r line; do step - "$line"; done < <("reliability_setup_$COMPONENT")
    fi
    queue_queries "$COMPONENT"
    steps_run "$MACHINE"
    SESSION_BEFORE=$(session_manager)
    LIVE_BEFORE=$(live_state "$COMPONENT")
    live=RELIABILITY_LIVE_$COMPONENT
    for live in ${!live:-}; do [ -e "$C/$live" ] || fail "$COMPONENT: no live $live to compare"; done
    CASE=
    "reliability_cases_$COMPONENT"
    [ -z "$CASE" ] || run_case
done
echo "$CASES failing restores in $(($(date +%s) - started)) s"
expect_eq "the backup folder after the failed restores" "$BACKUP_BEFORE" "$(backup_hashes)"

# A second restore, verified against the backup's catalog, succeeds for every component.
for component in "${RELIABILITY_COMPONENTS[@]}"; do
    variable=RELIABILITY_ENV_$component
    [ -z "${!variable:-}" ] || step - "set \"${!variable}\""
done
step second "ssbr restore $BACKUP_WIN ${options[*]}"
steps_run "$MACHINE"
result second
expect_eq "the restore after the failures ($(tail -3 <<<"$OUT$ERR"))" 0 "$RC"
expect_eq "the backup folder after the restore" "$BACKUP_BEFORE" "$(backup_hashes)"
finish
