#!/bin/bash
# Reliability of restores: a restore that fails at any of its destructive steps leaves the server
# as it was. One lab machine (a 2003 domain controller, authority and cluster node) takes one
# backup of every component; then, case by case, a restore of one component is made to fail at one
# step, and after each: the component's live files byte for byte as before, no rename waiting for
# the next start, its services in their earlier state, and the exit code 1 (with the expected
# text, where the case names one). At the end the backup folder is byte for byte as it was taken,
# and a verified restore of every component from it succeeds.
#
# The cases come from tests/lab/reliability/<component>.bash, one file per component; it must:
#   - append its name to RELIABILITY_COMPONENTS and set RELIABILITY_OPTION_<name> (ssbr's option);
#     it may set RELIABILITY_ENV_<name> (a variable its restores see, e.g. SAFEBOOT_OPTION=DSREPAIR),
#     RELIABILITY_LIVE_<name> (its live folders and files below C:, as Unix paths relative to the
#     drive, e.g. "windows/system32/CertLog"), RELIABILITY_KEYS_<name> (live registry keys, one
#     per line, e.g. 'HKLM\SOFTWARE\x') and RELIABILITY_SERVICES_<name> (services whose state a
#     failed restore must keep, e.g. "CertSvc w3svc");
#   - may define reliability_setup_<name>, which prints cmd lines run in the machine once before
#     its cases (to make the live state differ from the backup, so that a restore that went ahead
#     would show);
#   - define reliability_cases_<name>, which calls, per case,
#       fail_case NAME [EXPECTED_TEXT]
#     and then sets what makes that restore fail, with any of:
#       BEFORE+=('cmd line')   run in the machine just before the restore (set a knob, block a path)
#       AFTER+=('cmd line')    run just after it, whatever happened (undo the knob)
#       HOLD='C:\path'         a file held open without sharing for the length of the restore
#     The backup of the case is the shared one at C:\reliability\backup ($BACKUP on the Unix side,
#     $BACKUP_WIN in Windows form); a case never changes it.
source "$(dirname "$0")/lib/common.bash"

RELIABILITY_COMPONENTS=()
for file in "$(dirname "$0")"/reliability/*.bash; do source "$file"; done

provision reliability --os 2003 --role dc --role ca --role cluster
machines_ready
MACHINE=$MACHINES/reliability
DRIVE=$MACHINE/drive_c
WORK=$DRIVE/reliability
BACKUP=$WORK/backup BACKUP_WIN='C:\reliability\backup'
rm -rf "$WORK"
mkdir -p "$WORK/out"

options=()
for component in "${RELIABILITY_COMPONENTS[@]}"; do
    option=RELIABILITY_OPTION_$component
    options+=("${!option}")
done
run_in "$MACHINE" ssbr backup "$BACKUP_WIN" "${options[@]}"
expect_eq "the backup ($ERR)" 0 "$RC"
backup_hashes() { (cd "$BACKUP" && find . -type f -exec md5sum {} + | sort -k2; find . | sort); }
BACKUP_BEFORE=$(backup_hashes)

# The state a failed restore must keep: the live files' hashes and the services' states.
live_state() {
    local live services
    live=RELIABILITY_LIVE_$1 services=RELIABILITY_SERVICES_$1
    for live in ${!live:-}; do (cd "$DRIVE" && find "$live" 2>/dev/null | sort && find "$live" -type f -exec md5sum {} + 2>/dev/null | sort -k2); done
    for service in ${!services:-}; do
        echo "$service: $(tr -d '\r' <"$WORK/out/service-$service.txt" 2>/dev/null | grep -o 'STATE *: *[0-9]*')"
    done
    cat "$WORK"/out/key-*.txt 2>/dev/null | tr -d '\r'
}
query_lines() {
    local services=RELIABILITY_SERVICES_$1 service
    for service in ${!services:-}; do echo "sc query $service > C:\\reliability\\out\\service-$service.txt 2>&1"; done
    local keys=RELIABILITY_KEYS_$1 key number=0
    rm -f "$WORK"/out/key-*.txt
    while IFS= read -r key; do
        [ -n "$key" ] || continue
        number=$((number + 1))
        echo "hivetool key \"$key\" > C:\\reliability\\out\\key-$number.txt 2>&1"
    done <<<"${!keys:-}"
    echo 'reg query "HKLM\System\CurrentControlSet\Control\Session Manager" /v PendingFileRenameOperations > C:\reliability\out\pending.txt 2>&1'
}
pending() { grep -a REG_MULTI_SZ "$WORK/out/pending.txt"; }

# fail_case NAME [TEXT]: the next case of the current component.
CASES=0
fail_case() {
    [ -z "${CASE:-}" ] || run_case
    CASE=$COMPONENT-$1 CASE_TEXT=${2:-} BEFORE=() AFTER=() HOLD=
}
run_case() {
    local option=RELIABILITY_OPTION_$COMPONENT env=RELIABILITY_ENV_$COMPONENT out="C:\\reliability\\out\\$CASE"
    CASES=$((CASES + 1))
    {
        echo "set \"${!env:-SAFEBOOT_OPTION=}\""
        printf '%s\n' "${BEFORE[@]}"
        if [ -n "$HOLD" ]; then
            echo "start \"\" /b labservice hold \"$HOLD\" C:\\reliability\\hold"
            echo ':held'
            echo 'if not exist C:\reliability\hold\held if not exist C:\reliability\hold\failed goto held'
        fi
        echo "ssbr restore $BACKUP_WIN ${!option} --no-verify > $out.txt 2>&1"
        echo "> $out.rc echo %errorlevel%"
        if [ -n "$HOLD" ]; then
            echo 'echo.>C:\reliability\hold\release'
            echo ':released'
            echo 'if exist C:\reliability\hold\held goto released'
        fi
        printf '%s\n' "${AFTER[@]}"
        query_lines "$COMPONENT"
    } >"$WORK/case.cmd"
    rm -rf "$WORK/hold"
    run_in "$MACHINE" cmd /c 'C:\reliability\case.cmd'
    [ ! -f "$WORK/hold/failed" ] || fail "$CASE: the file to hold could not be opened: $HOLD"
    local text rc
    text=$(tr -d '\r' <"$WORK/out/$CASE.txt" 2>/dev/null)
    rc=$(tr -d '\r ' <"$WORK/out/$CASE.rc" 2>/dev/null)
    expect_eq "$CASE: exit ($(head -3 <<<"$text"))" 1 "$rc"
    [ -z "$CASE_TEXT" ] || expect_contains "$CASE: text" "$CASE_TEXT" "$text"
    expect_eq "$CASE: the live files and services" "$LIVE_BEFORE" "$(live_state "$COMPONENT")"
    expect_eq "$CASE: renames waiting" "" "$(pending)"
}

started=$(date +%s)
for COMPONENT in "${RELIABILITY_COMPONENTS[@]}"; do
    { ! declare -F "reliability_setup_$COMPONENT" >/dev/null || "reliability_setup_$COMPONENT"
      query_lines "$COMPONENT"; } >"$WORK/case.cmd"
    run_in "$MACHINE" cmd /c 'C:\reliability\case.cmd'
    expect_eq "$COMPONENT: renames waiting before its cases" "" "$(pending)"
    LIVE_BEFORE=$(live_state "$COMPONENT")
    live=RELIABILITY_LIVE_$COMPONENT
    for live in ${!live:-}; do [ -e "$DRIVE/$live" ] || fail "$COMPONENT: no live $live to compare"; done
    CASE=
    "reliability_cases_$COMPONENT"
    [ -z "$CASE" ] || run_case
done
echo "$CASES failing restores in $(($(date +%s) - started)) s"
expect_eq "the backup folder after the failed restores" "$BACKUP_BEFORE" "$(backup_hashes)"

# A second restore, verified against the backup's catalog, succeeds for every component.
{
    for component in "${RELIABILITY_COMPONENTS[@]}"; do
        variable=RELIABILITY_ENV_$component
        [ -z "${!variable:-}" ] || echo "set \"${!variable}\""
    done
    echo "ssbr restore $BACKUP_WIN ${options[*]} > C:\\reliability\\out\\second.txt 2>&1"
    echo "> C:\\reliability\\out\\second.rc echo %errorlevel%"
} >"$WORK/second.cmd"
run_in "$MACHINE" cmd /c 'C:\reliability\second.cmd'
expect_eq "the restore after the failures ($(tr -d '\r' <"$WORK/out/second.txt" | tail -3))" 0 "$(tr -d '\r ' <"$WORK/out/second.rc")"
expect_eq "the backup folder after the restore" "$BACKUP_BEFORE" "$(backup_hashes)"
finish
