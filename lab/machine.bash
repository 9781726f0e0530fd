# Sourced by lab/start, run, restart, stop and provision: a lab machine is a prefix with its own
# wineserver, started in the foreground of its own session so that its pid can be recorded in the
# prefix ("wineserver.pid"). A machine is stopped through that server, never by a process name.

machine_env() {
    [ -f "$1/system.reg" ] || { echo "lab: $1 is not a lab machine (lab/provision it)" >&2; exit 2; }
    export WINEPREFIX=$(cd "$1" && pwd)
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
    case ${WINEPATH:-} in
        *Harborline*) ;;
        *) export WINEPATH="C:\\Program Files\\Harborline${WINEPATH:+;$WINEPATH}" ;;
    esac
    PID_FILE=$WINEPREFIX/wineserver.pid
}

# machine_pid: the recorded server's pid while it serves this prefix (its working folder is the
# prefix's server folder, named after the prefix's device and inode); fails when none runs.
machine_pid() {
    local pid id
    pid=$(cat "$PID_FILE" 2>/dev/null) || return 1
    # stat prints the device in hex, the inode in decimal; the server names both in hex.
    id=$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")") || return 1
    [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == */"$id" ]] && echo "$pid"
}

# machine_start [WINEBOOT_OPTIONS]: boots the machine unless it runs. Every output of the boot
# goes to /dev/null: the services it starts outlive it and would hold any other output open.
machine_start() {
    machine_pid >/dev/null && return 0
    # A server started by a plain wine command would be a second machine beside ours.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    setsid wineserver -f -p </dev/null >/dev/null 2>&1 &
    echo $! >"$PID_FILE"
    local tries=0
    until [ -S "/proc/$!/cwd/socket" ]; do
        kill -0 $! 2>/dev/null && [ $((tries += 1)) -lt 200 ] ||
            { echo "lab: the wineserver of $WINEPREFIX did not start" >&2; rm -f "$PID_FILE"; return 1; }
        sleep 0.05
    done
    wine wineboot "$@" </dev/null >/dev/null 2>&1
    # Wine keeps no keys below HKEY_USERS from one session to the next but the logged-on user's
    # and .DEFAULT; what a server loads there at every start comes back from registry/boot/.
    local file
    for file in "$LAB_DIR"/registry/boot/*.reg; do
        [ -f "$file" ] || continue
        wine regedit /S "Z:${file//\//\\}" </dev/null >/dev/null 2>&1 ||
            { echo "lab: importing $file failed" >&2; return 1; }
    done
}

# machine_stop: ends every process of the machine; the server writes the registry as it exits,
# so the prefix can be copied once this returns.
machine_stop() {
    local pid tries=0
    pid=$(machine_pid) || pid=
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "$pid" ]; then
        # An exited server may stay a zombie for a while; it has no working folder then.
        while [ -e "/proc/$pid/cwd" ]; do
            [ $((tries += 1)) -lt 400 ] || { kill -9 "$pid"; break; }
            sleep 0.05
        done
    fi
    rm -f "$PID_FILE"
}
