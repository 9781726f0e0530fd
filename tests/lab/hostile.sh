#!/bin/bash
# Hostile backups: a backup folder can come from anywhere, so every restore is run against
# mutated copies of a real backup in one lab machine that stays up. For each case: no crash or
# hang, exit 0 only for a valid backup, no TMP_ key left in HKLM or HKU and the canary key
# unchanged (after each valid case, and after all refused ones), and nothing written outside the
# case's folder (files outside that links point at stay as they were); a refused case writes
# nothing in its folder either, nor makes one that is not there.
#
# The cases come from tests/lab/hostile/<component>.bash, one file per component, sourced into
# one shell (so each names its functions and variables with a prefix of its own). It must:
#   - append its name to HOSTILE_COMPONENTS and set HOSTILE_OPTION_<name> (ssbr's option, e.g.
#     --registry); it may append lab roles to HOSTILE_ROLES and set, for <name>:
#       HOSTILE_ENV_     a variable its restores see, e.g. SAFEBOOT_OPTION=DSREPAIR
#       HOSTILE_LIVE_    live folders below C: (Unix paths) that only a valid backup's restore may write
#       HOSTILE_KEYS_    live keys (";" between them) that only a valid backup's restore may change
#       HOSTILE_SCRATCH_ folders below C: that the lab's stand-ins write on every call (call logs)
#       HOSTILE_SERVICES_ services whose states after each refused case must be those before
#   - define hostile_cases_<name>, which calls, per case, `new_case NAME EXPECT` (EXPECT: 0 for
#     a valid backup, 1 for one that must be refused, any when the platform decides), may call
#     `expect_text TEXT` (the restore's output must contain TEXT), and then changes the copy of
#     the component's base backup (`ssbr backup` of the untouched machine) at $CASE, a Unix path
#     ($CASE_WIN in Windows form). `new_case NAME EXPECT none` makes no copy.
# Refused cases run first, in one session (the live folders and keys stay, no rename waits), then
# the others. For the case files: $CANARY_KEY (a live key no restore may change), $OUTSIDE (a Unix
# folder outside every backup with a file "victim" and a copy of each base backup, for links to
# point at; $OUTSIDE_WIN in Windows form).
source "$(dirname "$0")/lib/common.bash"

HOSTILE_COMPONENTS=() HOSTILE_ROLES=()
# HOSTILE_ONLY="sysvol cluster" runs only those components' cases (while working on one of them).
for file in "$(dirname "$0")"/hostile/*.bash; do
    [ -z "${HOSTILE_ONLY:-}" ] || [[ " $HOSTILE_ONLY " == *" $(basename "$file" .bash) "* ]] || continue
    source "$file"
done

role_options=()
for role in "${HOSTILE_ROLES[@]}"; do role_options+=(--role "$role"); done
lab_machine hostile --os 2003 "${role_options[@]}"
CASES=$C/hostile/cases
OUTSIDE=$C/hostile-outside OUTSIDE_WIN='C:\hostile-outside'
CANARY_KEY='HKLM\SOFTWARE\QmHostileCanary'
rm -rf "$C/hostile" "$OUTSIDE"
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
    cp -a "$C/hostile/base-$component" "$OUTSIDE/base-$component"
done

# new_case NAME EXPECT [none]: the next case of the current component.
CASE_NAMES=() CASE_EXPECT=() CASE_OPTION=() CASE_ENV=() CASE_TEXT=() CASE_SERVICES=() CASE_COMPONENT=()
new_case() {
    local env=HOSTILE_ENV_$COMPONENT services=HOSTILE_SERVICES_$COMPONENT
    CASE=$CASES/$COMPONENT-$1 CASE_WIN="C:\\hostile\\cases\\$COMPONENT-$1"
    CASE_NAMES+=("$COMPONENT-$1") CASE_EXPECT+=("$2") CASE_OPTION+=("${!OPTION}") CASE_ENV+=("${!env:-}")
    CASE_SERVICES+=("${!services:-}") CASE_COMPONENT+=("$COMPONENT")
    [ "${3:-}" = none ] || cp -a "$C/hostile/base-$COMPONENT" "$CASE"
}
expect_text() { CASE_TEXT[${#CASE_NAMES[@]} - 1]=$1; }
for COMPONENT in "${HOSTILE_COMPONENTS[@]}"; do
    OPTION=HOSTILE_OPTION_$COMPONENT
    "hostile_cases_$COMPONENT"
done

# variable_list PREFIX: the values of PREFIX<component> for every component, one a line.
variable_list() { local c v; for c in "${HOSTILE_COMPONENTS[@]}"; do v=$1$c; [ -z "${!v:-}" ] || echo "${!v}"; done; }
# The live keys of every component as steps keys-WHEN-N, and what they read.
dump_keys() {
    local key n=0
    while read -r key; do step "keys-$1-$((n++))" "hivetool key \"$key\""; done < <(variable_list HOSTILE_KEYS_ | tr ';' '\n')
}
live_keys() { cat "$STEPS_DIR"/keys-"$1"-*.out 2>/dev/null | tr -d '\r'; }
live_files() { (cd "$C" && tree_hashes $(variable_list HOSTILE_LIVE_)); }
# written_since EXCLUDED...: files below C: newer than the session's stamp, but for the cases and
# the steps' outputs and the folders EXCLUDED (Unix paths below C:).
written_since() {
    local skip=() folder
    for folder in "$@"; do skip+=(! -path "./$folder/*"); done
    (cd "$C" && find . -newer hostile/stamp ! -type d ! -path './hostile/cases/*' ! -path './steps/*' "${skip[@]}")
}

# The cases of one session (refused: 1, else the others): the restore, its exit code, the
# component's services and, for the others, the canary and any TMP_ key; the live keys before and
# after, and the services before. Refused cases write nothing, so they run in two lanes at once,
# each taking whole components (the larger ones first, each to the lane with fewer cases); their
# canary and TMP_ keys are looked at once, after both.
# in_session I SESSION: case I runs in SESSION.
in_session() { if [ "${CASE_EXPECT[$1]}" = 1 ]; then [ "$2" = 1 ]; else [ "$2" = 0 ]; fi; }
run_script() { timeout 300 "$LAB/run" "$MACHINE" cmd /c "C:\\steps\\$1" >/dev/null 2>&1; }
session() {
    local lanes=1 sizes=(0 0) lane i count component service
    declare -A lane_of=()
    [ "$1" = 1 ] && lanes=2
    dump_keys before
    for service in $(printf '%s\n' "${CASE_SERVICES[@]}" | tr ' ' '\n' | sort -u); do
        step "services-$1-$service" "sc query $service"
    done
    steps_save "$MACHINE" before.cmd
    while read -r count component; do
        lane=0; [ "$lanes" = 2 ] && [ "${sizes[1]}" -lt "${sizes[0]}" ] && lane=1
        lane_of[$component]=$lane sizes[$lane]=$((sizes[lane] + count))
    done < <(for i in "${!CASE_NAMES[@]}"; do in_session "$i" "$1" && echo "${CASE_COMPONENT[$i]}"; done | sort | uniq -c | sort -rn)
    for lane in $(seq 0 $((lanes - 1))); do
        for i in "${!CASE_NAMES[@]}"; do
            in_session "$i" "$1" && [ "${lane_of[${CASE_COMPONENT[$i]}]}" = "$lane" ] || continue
            step - "set \"${CASE_ENV[$i]:-SAFEBOOT_OPTION=}\""
            # Past the catalog check: the module itself must refuse what the case holds.
            step "${CASE_NAMES[$i]}" "ssbr restore C:\\hostile\\cases\\${CASE_NAMES[$i]} ${CASE_OPTION[$i]} --no-verify"
            [ "$1" = 1 ] || step "${CASE_NAMES[$i]}.guard" "hivetool guard $CANARY_KEY"
            for service in ${CASE_SERVICES[$i]}; do step "${CASE_NAMES[$i]}.$service" "sc query $service"; done
        done
        steps_save "$MACHINE" "run-$lane.cmd"
    done
    dump_keys after
    step "pending-$1" "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"
    step "session-$1.guard" "hivetool guard $CANARY_KEY"
    steps_save "$MACHINE" after.cmd
    touch "$C/hostile/stamp"
    sleep 1
    run_script before.cmd
    for lane in $(seq 0 $((lanes - 1))); do run_script "run-$lane.cmd" & done
    wait
    run_script after.cmd
}
LIVE_BEFORE=$(live_files)
SCRATCH=($(variable_list HOSTILE_SCRATCH_))
rm -rf "$C/steps"
started=$(date +%s)
session 1
expect_eq "refused cases: the live folders" "$LIVE_BEFORE" "$(live_files)"
expect_eq "refused cases: the live keys" "$(live_keys before)" "$(live_keys after)"
result pending-1
expect_eq "refused cases: renames waiting" "" "$(grep -a REG_MULTI_SZ <<<"$OUT")"
expect_eq "refused cases: written outside the cases" "" "$(written_since ${SCRATCH[@]+"${SCRATCH[@]}"})"
expect_eq "refused cases: written in the cases" "" "$(cd "$CASES" && find . -newer ../stamp)"
session 0
echo "${#CASE_NAMES[@]} cases in $(($(date +%s) - started)) s:" $(printf '%s\n' "${CASE_COMPONENT[@]}" | sort | uniq -c | awk '{ print $2, $1 }')
expect_eq "valid cases: written outside the cases and the live folders" "" \
    "$(written_since ${SCRATCH[@]+"${SCRATCH[@]}"} $(variable_list HOSTILE_LIVE_))"

# states_of PREFIX SERVICE...: the services' states read by the steps PREFIX<SERVICE>.
states_of() { local service; for service in "${@:2}"; do result "$1$service"; service_states "$OUT"; done | sort; }
canary=$'[]\nValue = REG_SZ intact'
for session in 1 0; do
    result "session-$session.guard"
    expect_eq "session $session: the canary key, and no TMP_ key" "$canary" "$OUT"
done
for i in "${!CASE_NAMES[@]}"; do
    name=${CASE_NAMES[$i]}
    result "$name"
    [ -n "$RC" ] || { fail "$name: did not finish (hang or crash of the session)"; break; }
    case ${CASE_EXPECT[$i]} in
        any) [ "$RC" = 0 ] || [ "$RC" = 1 ] || fail "$name: exit $RC: $(head -3 <<<"$ERR")" ;;
        *) expect_eq "$name: exit ($(grep -v '^An exception' <<<"$ERR" | head -2))" "${CASE_EXPECT[$i]}" "$RC" ;;
    esac
    [ -z "${CASE_TEXT[$i]:-}" ] || expect_contains "$name: the text" "${CASE_TEXT[$i]}" "$OUT"$'\n'"$ERR"
    if [ "${CASE_EXPECT[$i]}" != 1 ]; then
        result "$name.guard"
        expect_eq "$name: the canary key, and no TMP_ key" "$canary" "$OUT"
    elif [ -n "${CASE_SERVICES[$i]}" ]; then
        before=$(states_of "services-1-" ${CASE_SERVICES[$i]})
        [ -n "$before" ] || fail "$name: no state of ${CASE_SERVICES[$i]} before the refused cases"
        expect_eq "$name: the services" "$before" "$(states_of "$name." ${CASE_SERVICES[$i]})"
    fi
done
expect_eq "the file outside" "outside every backup" "$(cat "$OUTSIDE/victim")"
for component in "${HOSTILE_COMPONENTS[@]}"; do
    expect_eq "$component: the copy outside" "" "$(diff -r "$C/hostile/base-$component" "$OUTSIDE/base-$component")"
done
finish
