# Shared by the registry lab tests: paths and comparisons of the key trees that the lab's hivetool
# prints ("[key]" lines, each followed by its values).

# unix_path MACHINE WINDOWS_PATH: the Unix path of a path on the machine's C: drive.
unix_path() {
    local path=${2#[Cc]:\\}
    printf '%s/drive_c/%s' "$1" "${path//\\//}"
}

# read_hive FILE DUMP: batch lines that print the hive file FILE into DUMP and add FILE to
# C:\live\failed.txt when it does not load (Wine's cmd runs what follows "||" whatever the code).
read_hive() {
    printf 'hivetool file "%s" > "%s"\nif errorlevel 1 echo %s>> C:\\live\\failed.txt\n' "$1" "$2" "$1"
}

# hive_key HIVEPATH: "\REGISTRY\MACHINE\X" -> "HKLM\X", "\REGISTRY\USER\X" -> "HKU\X".
hive_key() {
    case $1 in
        '\REGISTRY\MACHINE\'*) printf 'HKLM\\%s' "${1#'\REGISTRY\MACHINE\'}" ;;
        '\REGISTRY\USER\'*) printf 'HKU\\%s' "${1#'\REGISTRY\USER\'}" ;;
    esac
}

# compare_trees WHAT LIVE_FILE SAVED_FILE: every key of the saved tree must be in the live tree
# with exactly the same values. Live keys that the saved tree lacks are allowed, up to a quarter
# of them: the registry's save call leaves volatile keys out, and Wine makes some (devices,
# network cards, font caches) at every start. Keys whose values Wine serves only through their
# own calls (performance counters) read as "(unreadable: ...)" live and are not compared.
compare_trees() {
    local problems
    problems=$(awk '
        FNR == 1 { file++ }
        /^\[/ { section = $0; if (file == 1) live[section] = ""; else saved[section] = ""; next }
        { if (file == 1) live[section] = live[section] $0 "\n"; else saved[section] = saved[section] $0 "\n" }
        END {
            for (s in saved) {
                if (!(s in live)) print "not in the live tree: " s
                else if (saved[s] != live[s] && live[s] !~ /^\(unreadable/) print "values differ: " s
            }
            n = 0; m = 0
            for (s in live) { n++; if (!(s in saved)) m++ }
            if (n == 0) print "the live tree is empty"
            if (m * 4 > n) print "the saved tree lacks " m " of " n " live keys"
        }' "$2" "$3" | sort | head -20)
    [ -z "$problems" ] || fail "$1: $problems"
}
