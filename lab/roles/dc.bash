# A domain controller: the programs in the Harborline folder get the lab's netapi32, whose
# NetServerGetInfo answers as a domain controller where lab/registry/dc sets the machine's role.
SYSTEM_STANDINS+=(lab/netapi/netapi32.dll)

# A domain controller's SysVol tree: policies and logon scripts, with names that a copy must
# carry through unchanged (blanks, an apostrophe, non-ASCII letters) and a path deeper than 260
# characters; and, as on a real one, the shared folder sysvol\<domain> and the replication's
# staging areas\<domain> as folder links to the domain's folders (Wine shows a Unix link to a
# folder as a folder reparse point).
provision_dc_sysvol() {
    local sysvol=$PREFIX/drive_c/windows/SYSVOL
    local domain=$sysvol/domain
    local policy='{31B2F340-016D-11D2-945F-00C04FB984F9}' dcpolicy='{6AC1786C-016F-11D2-945F-00C04fB984F9}'
    mkdir -p "$domain/Policies/$policy/MACHINE/Microsoft/Windows NT/SecEdit" "$domain/Policies/$policy/USER" \
        "$domain/Policies/$dcpolicy/MACHINE/Microsoft/Windows NT/SecEdit" "$domain/scripts/O'Brien's scripts" \
        "$domain/scripts/Zürich Büro" "$sysvol/staging/domain" "$sysvol/sysvol" "$sysvol/staging areas"
    ln -s ../domain "$sysvol/sysvol/lab.example"
    ln -s ../staging/domain "$sysvol/staging areas/lab.example"
    printf '[General]\r\nVersion=3\r\ndisplayName=Default Domain Policy\r\n' >"$domain/Policies/$policy/GPT.INI"
    printf '[General]\r\nVersion=1\r\n' >"$domain/Policies/$dcpolicy/GPT.INI"
    printf '[Unicode]\r\nUnicode=yes\r\n[System Access]\r\nMinimumPasswordLength = 7\r\n' \
        >"$domain/Policies/$policy/MACHINE/Microsoft/Windows NT/SecEdit/GptTmpl.inf"
    printf '[Privilege Rights]\r\nSeBackupPrivilege = *S-1-5-32-551\r\n' \
        >"$domain/Policies/$dcpolicy/MACHINE/Microsoft/Windows NT/SecEdit/GptTmpl.inf"
    printf '@echo off\r\nnet use H: \\\\files\\home\r\n' >"$domain/scripts/logon.bat"
    printf "@echo off\r\nrem O'Brien\r\n" >"$domain/scripts/O'Brien's scripts/map drives.cmd"
    printf 'Grüße aus Zürich\r\n' >"$domain/scripts/Zürich Büro/Anmeldung für Büro.cmd"
    printf '\xff\xfe\x00\x01binary\x00' >"$domain/scripts/Zürich Büro/Δοκιμή 日本.dat"
    printf 'replica set\r\n' >"$sysvol/staging/domain/NTFRS_CMD_FILE_MOVE_ROOT"
    # Folders below the policy until the file's full path passes 260 characters.
    local deep="$domain/Policies/$policy/USER/Documents and Settings"
    local level
    for level in 1 2 3 4 5 6 7 8 9 10; do
        deep+="/Folder redirection level $level"
    done
    mkdir -p "$deep"
    printf 'deep\r\n' >"$deep/Long path file.txt"
}

# The directory: the lab's directory backup client over C:\WINDOWS\NTDS.
SYSTEM_STANDINS+=(lab/ntdsbcli/ntdsbcli.dll)

# The directory's files: database, checkpoint, generation-numbered logs, the current log and the
# reserve logs. The database's size is no multiple of the API's read size, so its last read ends
# short. Generations are hexadecimal, and the logs run past edb00009.log to edb00011.log.
provision_dc_ntds() {
    local ntds=$PREFIX/drive_c/windows/NTDS name generation
    mkdir -p "$ntds"
    head -c $((2 * 1048576 + 12345)) /dev/urandom >"$ntds/ntds.dit"
    for name in edb.chk edb.log res1.log res2.log; do
        head -c 262144 /dev/urandom >"$ntds/$name"
    done
    for generation in $(seq 1 17); do
        head -c 65536 /dev/urandom >"$ntds/$(printf 'edb%05X.log' "$generation")"
    done
}
