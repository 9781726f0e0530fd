#!/bin/bash
# Hostile backups: a backup folder can come from anywhere, so every restore is run against
# mutated copies of a real backup in one lab machine that stays up. For each case: no crash or
# hang, exit 0 only for a valid backup, no TMP_ key left in HKLM or HKU and the canary key
# unchanged (after each valid case, and after all refused ones), and nothing written outside the
# case's folder (files outside that links point at stay as they were).
#
# The cases come from tests/lab/hostile/<component>.bash, one file per component. To add a
# component, drop such a file there; it must:
#   - append its name to HOSTILE_COMPONENTS and set HOSTILE_OPTION_<name> (ssbr's component
#     option, e.g. --registry); it may append lab roles to HOSTILE_ROLES, set HOSTILE_ENV_<name>
#     (a variable its restores see, e.g. SAFEBOOT_OPTION=DSREPAIR) and HOSTILE_LIVE_<name> (the
#     live folders below C:, Unix paths, that only a valid backup's restore may write) and
#     HOSTILE_KEYS_<name> (live registry keys, separated by ";", that only a valid backup's
#     restore may change: dumped with hivetool before and after the refused cases) and
#     HOSTILE_SCRATCH_<name> (folders below C:, Unix paths, that the lab's stand-ins write on
#     every call, such as their call logs: left out of the "written outside" checks) and
#     HOSTILE_SERVICES_<name> (services, separated by blanks, whose states after each refused
#     case must be those before the refused cases);
#   - name its own functions and variables with a prefix of its own (ad_manifest, ENTRY_EDITS):
#     every case file is sourced into one shell;
#   - define hostile_cases_<name>, which calls, per case, `new_case NAME EXPECT` (EXPECT: 0 for
#     a valid backup, 1 for one that must be refused, any when the platform decides), may call
#     `expect_text TEXT` (the restore's output must contain TEXT), and then changes the copy
#     of the component's backup at $CASE (a Unix path; its Windows path is
#     $CASE_WIN). The copy is made from `ssbr backup` of the untouched machine. `new_case NAME
#     EXPECT none` makes no copy (a folder that does not exist).
# Refused cases run first, in one session: after it the live folders of every component are as
# they were, and no rename waits for the next start. Then the others, which may write there.
# Helpers for the case files: $CANARY_KEY (a live key no restore may change), $OUTSIDE (a Unix
# folder outside every backup, with a file "victim" and a copy of the base backup, for links
# to point at; $OUTSIDE_WIN is its Windows path).
source "$(dirname "$0")/lib/common.bash"

HOSTILE_COMPONENTS=() HOSTILE_ROLES=()
# HOSTILE_ONLY="sysvol cluster" runs only those components' cases (while working on one of them).
for file in "$(dirname "$0")"/hostile/*.bash; do
    [ -z "${HOSTILE_ONLY:-}" ] || [[ " $HOSTILE_ONLY " == *" $(basename "$file" .bash) "* ]] || continue
    source "$file"
done

role_options=()
for role in "${HOSTILE_ROLES[@]}"; do role_options+=(--role "$role"); done
provision hostile --os 2003 "${role_options[@]}"
machines_ready
MACHINE=$MACHINES/hostile
DRIVE=$MACHINE/drive_c
CASES=$DRIVE/hostile/cases
OUTSIDE=$DRIVE/hostile-outside OUTSIDE_WIN='C:\hostile-outside'
CANARY_KEY='HKLM\SOFTWARE\QmHostileCanary'
rm -rf "$DRIVE/hostile" "$OUTSIDE"
mkdir -p "$CASES" "$OUTSIDE"
printf 'outside every backup\n' >"$OUTSIDE/victim"

# One base backup per component, and the canary, in one session.
step - "reg add $CANARY_KEY /v Value /d intact /f > nul"
for component in "${HOSTILE_COMPONENTS[@]}"; do
    option=HOSTILE_OPTION_$component
    step "base-$component" "ssbr backup C:\\hostile\\base-$component ${!option}"
done
steps_run "$MACHINE"
for component in "${HOSTILE_COMPONENTS[@]}"; do
    result "base-$component"
    expect_eq "$component: base backup ($ERR)" 0 "$RC"
    cp -a "$DRIVE/hostile/base-$component" "$OUTSIDE/base-$component"
done

# new_case NAME EXPECT [none]: the next case of the current component.
CASE_NAMES=() CASE_EXPECT=() CASE_OPTION=() CASE_ENV=() CASE_TEXT=() CASE_SERVICES=() CASE_COMPONENT=()
new_case() {
    local env=HOSTILE_ENV_$COMPONENT services=HOSTILE_SERVICES_$COMPONENT
    CASE=$CASES/$COMPONENT-$1 CASE_WIN="C:\\hostile\\cases\\$COMPONENT-$1"
    CASE_NAMES+=("$COMPONENT-$1") CASE_EXPECT+=("$2") CASE_OPTION+=("${!OPTION}") CASE_ENV+=("${!env:-}")
    CASE_SERVICES+=("${!services:-}") CASE_COMPONENT+=("$COMPONENT")
    [ "${3:-}" = none ] || cp -a "$DRIVE/hostile/base-$COMPONENT" "$CASE"
}
expect_text() { CASE_TEXT[${#CASE_NAMES[@]} - 1]=$1; }
for COMPONENT in "${HOSTILE_COMPONENTS[@]}"; do
    OPTION=HOSTILE_OPTION_$COMPONENT
    "hostile_cases_$COMPONENT"
done

# The live keys of every component, one hivetool dump each, as steps keys-WHEN-*.
dump_keys() {
    local component keys key n=0
    for component in "${HOSTILE_COMPONENTS[@]}"; do
        keys=HOSTILE_KEYS_$component
        IFS=';' read -ra keys <<<"${!keys:-}"
        for key in "${keys[@]}"; do step "keys-$1-$component-$((n++))" "hivetool key \"$key\""; done
    done
}
live_keys() { cat "$STEPS_DIR"/keys-"$1"-*.out 2>/dev/null | tr -d '\r'; }

# The cases of one session (refused: 1, else the others): the restore, its exit code, the
# component's services and, for the others, the canary and any TMP_ key; the live keys before and
# after, and the services before. Refused cases write nothing, so they run in two lanes at once,
# each taking whole components; their canary and TMP_ keys are looked at once, after both.
run_script() { timeout 300 "$LAB/run" "$MACHINE" cmd /c "C:\\steps\\$1" >/dev/null 2>&1; }
in_session() { { [ "${CASE_EXPECT[$2]}" = 1 ] && [ "$1" = 1 ]; } || { [ "${CASE_EXPECT[$2]}" != 1 ] && [ "$1" = 0 ]; }; }
session() {
    local lanes=1 lane i component service
    [ "$1" = 1 ] && lanes=2
    dump_keys before
    for service in $(printf '%s\n' "${CASE_SERVICES[@]}" | tr ' ' '\n' | sort -u); do
        step "services-$1-$service" "sc query $service"
    done
    steps_save "$MACHINE" before.cmd
    # Whole components to the lane with the fewest cases so far, largest first.
    declare -A count=() lane_of=()
    for i in "${!CASE_NAMES[@]}"; do
        in_session "$1" "$i" && count[${CASE_COMPONENT[$i]}]=$((${count[${CASE_COMPONENT[$i]}]:-0} + 1))
    done
    local sizes=(0 0)
    for component in $(for c in "${!count[@]}"; do echo "${count[$c]} $c"; done | sort -rn | cut -d' ' -f2); do
        lane=0; [ "$lanes" = 2 ] && [ "${sizes[1]}" -lt "${sizes[0]}" ] && lane=1
        lane_of[$component]=$lane sizes[$lane]=$((sizes[lane] + count[$component]))
    done
    for lane in $(seq 0 $((lanes - 1))); do
        for i in "${!CASE_NAMES[@]}"; do
            in_session "$1" "$i" && [ "${lane_of[${CASE_COMPONENT[$i]}]}" = "$lane" ] || continue
            name=${CASE_NAMES[$i]}
            step - "set \"${CASE_ENV[$i]:-SAFEBOOT_OPTION=}\""
            # Past the catalog check: the module itself must refuse what the case holds.
            step "$name" "ssbr restore C:\\hostile\\cases\\$name ${CASE_OPTION[$i]} --no-verify"
            [ "$1" = 1 ] || step "$name.guard" "hivetool guard $CANARY_KEY"
            for service in ${CASE_SERVICES[$i]}; do step "$name.$service" "sc query $service"; done
        done
        steps_save "$MACHINE" "run-$lane.cmd"
    done
    dump_keys after
    step "pending-$1" "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"
    step "session-$1.guard" "hivetool guard $CANARY_KEY"
    steps_save "$MACHINE" after.cmd
    touch "$DRIVE/hostile/stamp"
    sleep 1
    run_script before.cmd
    for lane in $(seq 0 $((lanes - 1))); do run_script "run-$lane.cmd" & done
    wait
    run_script after.cmd
}
live_files() {
    local component live
    for component in "${HOSTILE_COMPONENTS[@]}"; do
        live=HOSTILE_LIVE_$component
        for live in ${!live:-}; do (cd "$DRIVE" && find "$live" -type f 2>/dev/null -exec md5sum {} + | sort -k2); done
    done
}
LIVE_BEFORE=$(live_files)
scratch=()
for component in "${HOSTILE_COMPONENTS[@]}"; do
    live=HOSTILE_SCRATCH_$component
    for live in ${!live:-}; do scratch+=(! -path "./$live/*"); done
done
rm -rf "$DRIVE/steps"
started=$(date +%s)
session 1
expect_eq "refused cases: the live folders" "$LIVE_BEFORE" "$(live_files)"
expect_eq "refused cases: the live keys" "$(live_keys before)" "$(live_keys after)"
result pending-1
expect_eq "refused cases: renames waiting" "" "$(grep -a REG_MULTI_SZ <<<"$OUT")"
expect_eq "refused cases: written outside the cases" "" \
    "$(cd "$DRIVE" && find . -newer hostile/stamp ! -type d ! -path './hostile/cases/*' ! -path './steps/*' ${scratch[@]+"${scratch[@]}"})"
# Nor in them: a folder without a backup stays as it was, and one that is not there is not made.
expect_eq "refused cases: written in the cases" "" "$(cd "$CASES" && find . -newer ../stamp)"
session 0
echo "${#CASE_NAMES[@]} cases in $(($(date +%s) - started)) s"
allowed=(${scratch[@]+"${scratch[@]}"})
for component in "${HOSTILE_COMPONENTS[@]}"; do
    live=HOSTILE_LIVE_$component
    for live in ${!live:-}; do allowed+=(! -path "./$live/*"); done
done
expect_eq "valid cases: written outside the cases and the live folders" "" \
    "$(cd "$DRIVE" && find . -newer hostile/stamp ! -type d ! -path './hostile/cases/*' ! -path './steps/*' "${allowed[@]}")"

# states_of PREFIX SERVICE...: the services' states read by the steps PREFIX<SERVICE>.
states_of() { local service; for service in "${@:2}"; do result "$1$service"; service_states "$OUT"; done | sort; }
canary=$'[]\nValue = REG_SZ intact'
result session-1.guard
expect_eq "refused cases: the canary key, and no TMP_ key" "$canary" "$OUT"
result session-0.guard
expect_eq "valid cases: the canary key, and no TMP_ key" "$canary" "$OUT"
for i in "${!CASE_NAMES[@]}"; do
    name=${CASE_NAMES[$i]}
    result "$name"
    [ -n "$RC" ] || { fail "$name: did not finish (hang or crash of the session)"; break; }
    text=$OUT$'\n'$ERR
    case ${CASE_EXPECT[$i]} in
        any) [ "$RC" = 0 ] || [ "$RC" = 1 ] || fail "$name: exit $RC: $(head -3 <<<"$ERR")" ;;
        *) expect_eq "$name: exit ($(grep -v '^An exception' <<<"$ERR" | head -2))" "${CASE_EXPECT[$i]}" "$RC" ;;
    esac
    [ -z "${CASE_TEXT[$i]:-}" ] || expect_contains "$name: the text" "${CASE_TEXT[$i]}" "$text"
    if [ "${CASE_EXPECT[$i]}" != 1 ]; then
        result "$name.guard"
        expect_eq "$name: the canary key, and no TMP_ key" "$canary" "$OUT"
    elif [ -n "${CASE_SERVICES[$i]}" ]; then
        before=$(states_of services-1- ${CASE_SERVICES[$i]})
        [ -n "$before" ] || fail "$name: no state of ${CASE_SERVICES[$i]} before the refused cases"
        expect_eq "$name: the services" "$before" "$(states_of "$name." ${CASE_SERVICES[$i]})"
    fi
done
expect_eq "the file outside" "outside every backup" "$(cat "$OUTSIDE/victim")"
for component in "${HOSTILE_COMPONENTS[@]}"; do
    expect_eq "$component: the copy outside" "" "$(diff -r "$DRIVE/hostile/base-$component" "$OUTSIDE/base-$component")"
done
finish
