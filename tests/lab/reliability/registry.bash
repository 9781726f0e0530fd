# The registry: every hive is prepared in the staging folder before the first replacement is asked
# for; a failure before that removes the replacements and staging folders it made, and the backup
# is only read. The staging folder's registry part shows what a failed restore left.
RELIABILITY_COMPONENTS+=(registry)
RELIABILITY_OPTION_registry=--registry
RELIABILITY_LIVE_registry=SystemStateRestore/Registry

reliability_setup_registry() {
    echo 'mkdir C:\SystemStateRestore\Registry'
}

reliability_cases_registry() {
    local config='C:\SystemStateRestore\Registry\C\WINDOWS\system32\config'

    # A file holds the name of a staging folder: refused before any hive is loaded.
    fail_case staging-folder-blocked 'Refused the staging folder C:\SystemStateRestore\Registry\C: it is a file.'
    BEFORE+=('type nul > C:\SystemStateRestore\Registry\C')
    AFTER+=('del C:\SystemStateRestore\Registry\C')

    # A saved hive held by another program: the hives before it in the manifest are prepared.
    fail_case saved-hive-held "CopyFile($BACKUP_WIN\\Reg\\C\\WINDOWS\\system32\\config\\system, $config\\system.work) failed."
    HOLD="$BACKUP_WIN\\Reg\\C\\WINDOWS\\system32\\config\\system"

    # A replacement that the platform still holds for a restore scheduled earlier. The folders are
    # removed one by one: one that a failed restore left a file in stays, and shows.
    fail_case replacement-held "$config\\SAM.tmp is in use: a restore scheduled earlier may be waiting for the restart."
    BEFORE+=("mkdir $config" "type nul > $config\\SAM.tmp")
    HOLD="$config\\SAM.tmp"
    AFTER+=("del $config\\SAM.tmp" "rmdir $config" "rmdir ${config%\\*}" "rmdir ${config%\\*\\*}" "rmdir ${config%\\*\\*\\*}")
}
