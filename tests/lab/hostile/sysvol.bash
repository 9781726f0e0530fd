# SysVol's hostile cases: a copy path that leads out of the backup folder, links in it or in the
# saved tree (one leading back into the live tree), recorded folder links that would lead out of
# the live tree, backups that hold nothing, manifests and trees past the component's limits, and
# names Windows cannot hold, anywhere in the saved tree. Every refusal comes before the first
# write, so the harness finds the live tree as it was.
HOSTILE_COMPONENTS+=(sysvol)
HOSTILE_OPTION_sysvol=--sysvol HOSTILE_ENV_sysvol=SAFEBOOT_OPTION=DSREPAIR HOSTILE_LIVE_sysvol=windows/SYSVOL
HOSTILE_ROLES+=(dc)

hostile_cases_sysvol() {
    local manifest=SystemVolumeBackupSet.xml tree=SysVol/C/windows/SysVol name label i
    local copy_win='SysVol\C\windows\SysVol'
    # The deepest folder of the lab's tree: a bad name there is the last thing a scan meets.
    local deep=domain/Policies/{31B2F340-016D-11D2-945F-00C04FB984F9}/USER/Documents\ and\ Settings
    for i in 1 2 3 4 5 6 7 8 9 10; do deep+="/Folder redirection level $i"; done
    # held NAME_IN_THE_TREE: the text for a name Windows cannot hold.
    held() { expect_text "The SysVol backup holds a name Windows cannot hold at $CASE_WIN\\$copy_win\\${1//\//\\}; nothing was restored"; }
    # links N: N recorded links in the manifest, each in a folder of its own.
    links() {
        local entries=''
        for ((i = 0; i < $1; i++)); do entries+="<link target=\"domain\">sysvol\\more$i</link>"; done
        sed -i "s|</BackupSet>|$entries</BackupSet>|" "$CASE/$manifest"
    }

    new_case valid 0
    # Names close to the ones Windows reserves, and a tree exactly as deep as a backup may be.
    new_case valid-near-names 0
    for name in COM10 con2.txt nulled.ini 'LPT10' 'x. y' 'aux-tools.cmd' '~$temp'; do printf 'near\r\n' >"$CASE/$tree/domain/scripts/$name"; done
    new_case valid-depth-limit 0; mkdir -p "$CASE/$tree/domain$(printf '/n%.0s' {1..62})"
    printf 'deepest\r\n' >"$CASE/$tree/domain$(printf '/n%.0s' {1..62})/at the limit.txt"

    # The manifest or the copy is not there, or leads elsewhere.
    new_case no-folder 1 none; expect_text "No SysVol backup in $CASE_WIN"
    new_case no-manifest 1; rm "$CASE/$manifest"; expect_text "No SysVol backup in $CASE_WIN"
    new_case wrong-root 1; sed -i 's/type="SystemVolume"/type="Registry"/' "$CASE/$manifest"; expect_text "No SysVol backup in $CASE_WIN"
    new_case no-copy 1; rm -r "$CASE/SysVol"; expect_text "No SysVol backup in $CASE_WIN"
    new_case link 1; rm -r "$CASE/$tree"; ln -s "$OUTSIDE/base-sysvol/$tree" "$CASE/$tree"
    new_case copy-is-live 1; rm -r "$CASE/$tree"; ln -s ../../../../../../windows/SYSVOL "$CASE/$tree"
    expect_text "Invalid SysVol copy path in $CASE_WIN\\$manifest: C\\windows\\SysVol"
    # Copy paths that lead up, to another machine or drive, through a blank-and-dot name, or nowhere.
    local copy_path outside='hostile-outside\base-sysvol\SysVol\C\windows\SysVol' n=0
    for copy_path in "..\\..\\$outside" "\\\\VM\\C\$\\$outside" "C:\\$outside" 'SysVol\. .\..\..\hostile-outside' ''; do
        new_case "copy-path-$((++n))" 1; sed -i "s|<directory>[^<]*|<directory>${copy_path//\\/\\\\}|" "$CASE/$manifest"
        expect_text "Invalid SysVol copy path in $CASE_WIN\\$manifest: $copy_path"
    done
    new_case copy-path-trailing-dot 1; mv "$CASE/$tree" "$CASE/$tree."; sed -i 's|SysVol</directory>|SysVol.</directory>|' "$CASE/$manifest"
    expect_text "Invalid SysVol copy path in $CASE_WIN\\$manifest: C\\windows\\SysVol."

    # Nothing to restore: a copy that holds no file.
    new_case empty-copy 1; rm -r "$CASE/$tree/"*; expect_text "No SysVol backup in $CASE_WIN"
    new_case folders-only 1; find "$CASE/$tree" -type f -delete; expect_text "No SysVol backup in $CASE_WIN"
    new_case dot-names-only 1; find "$CASE/$tree" -type f -delete; : >"$CASE/$tree/domain/.never saved"
    expect_text "No SysVol backup in $CASE_WIN"

    # Past the limits: the manifest's size, the copy path's length, the count and length of
    # recorded links, the depth and number of entries of the saved tree.
    new_case huge-folder-value 1
    { printf '<BackupSet type="SystemVolume"><directory>'; head -c 10485760 /dev/zero | tr '\0' a; printf '</directory></BackupSet>'; } >"$CASE/$manifest"
    expect_text "$CASE_WIN\\$manifest is larger than 1 MiB, more than a SysVol manifest holds"
    new_case long-folder-value 1; sed -i "s|<directory>|<directory>$(printf 'long\\\\%.0s' {1..60})|" "$CASE/$manifest"
    expect_text "The SysVol copy path in $CASE_WIN\\$manifest is longer than 260 characters"
    new_case many-links 1; links 65; expect_text "$CASE_WIN\\$manifest records more than 64 SysVol links"
    new_case long-link 1; sed -i "s|>sysvol\\\\lab.example<|>sysvol\\\\$(printf 'x%.0s' {1..1100})<|" "$CASE/$manifest"
    expect_text "Invalid SysVol link in $CASE_WIN\\$manifest: longer than 1024 characters"
    new_case deep-nesting 1; mkdir -p "$CASE/$tree/domain$(printf '/d%.0s' {1..70})"
    expect_text "The SysVol backup nests folders more than 64 deep at $CASE_WIN\\$copy_win\\domain$(printf '\\d%.0s' {1..64}); nothing"
    new_case many-entries 1; mkdir "$CASE/$tree/domain/many"
    (cd "$CASE/$tree/domain/many" && seq -f 'f%06.0f' 1 100001 | xargs touch)
    expect_text "The SysVol backup in $CASE_WIN\\$copy_win holds more than 100000 entries; nothing was restored"

    # Names Windows cannot hold, one of each kind (the unit tests hold the whole table): a
    # wildcard, a stream, trailing dots and blanks, device names with or without an extension,
    # control characters. Wine hands each to the restore as the Unix name reads.
    while IFS='|' read -r label name; do
        new_case "name-$label" 1; printf 'planted\r\n' >"$CASE/$tree/domain/scripts/$name"; held "domain/scripts/$name"
    done <<'NAMES'
star|evil*.txt
reserved|a<b>c|d.txt
stream|logon.bat:evil.exe
trailing-dot|logon.bat.
trailing-blank|logon.bat 
con|CON
nul-extension|nul.txt
aux-blank|aux .bat
NAMES
    new_case name-control 1; printf 'planted\r\n' >"$CASE/$tree/domain/scripts/tab"$'\t'"name"; held "domain/scripts/tab"$'\t'"name"
    new_case folder-name 1; mkdir "$CASE/$tree/domain/Policies/PRN"; printf 'planted\r\n' >"$CASE/$tree/domain/Policies/PRN/GPT.INI"
    held domain/Policies/PRN
    # Found last: every other saved file would be staged by then.
    new_case name-late 1; printf 'planted\r\n' >"$CASE/$tree/$deep/zz late.txt."; held "$deep/zz late.txt."

    # Windows opens a live entry by its short name too: a saved entry under a live entry's short
    # name would land on that entry, which the backup does not hold.
    local short_folder short_file
    run_in "$MACHINE" cmd /c 'dir /x /s C:\windows\SYSVOL\domain\scripts'
    short_folder=$(sed -n "s/^.* \([^ ][^ ]*\)  *O'Brien's scripts\$/\1/p" <<<"$OUT")
    short_file=$(sed -n 's/^.* \([^ ][^ ]*\)  *map drives\.cmd$/\1/p' <<<"$OUT")
    [ -n "$short_folder" ] && [ -n "$short_file" ] || fail "sysvol: no short names in the lab's tree: $OUT"
    new_case short-folder-name 1; mkdir "$CASE/$tree/domain/scripts/$short_folder"
    printf 'planted\r\n' >"$CASE/$tree/domain/scripts/$short_folder/map drives.cmd"
    expect_text "The SysVol backup holds $CASE_WIN\\$copy_win\\domain\\scripts\\$short_folder, another name of the live C:\\windows\\SysVol\\domain\\scripts\\O'Brien's scripts; nothing was restored"
    new_case short-file-name 1; printf 'planted\r\n' >"$CASE/$tree/domain/scripts/O'Brien's scripts/$short_file"
    expect_text "The SysVol backup holds $CASE_WIN\\$copy_win\\domain\\scripts\\O'Brien's scripts\\$short_file, another name of the live C:\\windows\\SysVol\\domain\\scripts\\O'Brien's scripts\\map drives.cmd; nothing was restored"

    # Links in the saved tree, and recorded links that lead out of the live tree or hold a
    # name Windows cannot hold.
    new_case deep-link 1; ln -s "$OUTSIDE" "$CASE/$tree/domain/scripts/pulled"
    expect_text "The SysVol backup holds a link at $CASE_WIN\\$copy_win\\domain\\scripts\\pulled; nothing was restored"
    new_case link-to-live 1; ln -s ../../../../../../../../windows/SYSVOL "$CASE/$tree/domain/loop"
    expect_text "The SysVol backup holds a link at $CASE_WIN\\$copy_win\\domain\\loop; nothing was restored"
    local target
    for target in '..\..\..\hostile-outside' 'C:\hostile-outside' ''; do
        new_case "link-target-$((++n))" 1; sed -i "s|<link target=\"domain\">|<link target=\"${target//\\/\\\\}\">|" "$CASE/$manifest"
        expect_text "Invalid SysVol link in $CASE_WIN\\$manifest: sysvol\\lab.example to $target"
    done
    new_case link-path-out 1; sed -i 's|>sysvol\\lab.example<|>..\\..\\hostile-outside\\made<|' "$CASE/$manifest"
    expect_text "Invalid SysVol link in $CASE_WIN\\$manifest: ..\\..\\hostile-outside\\made to domain"
    new_case link-device-name 1; sed -i 's|>sysvol\\lab.example<|>sysvol\\CON<|' "$CASE/$manifest"
    expect_text "Invalid SysVol link in $CASE_WIN\\$manifest: sysvol\\CON to domain"
}
