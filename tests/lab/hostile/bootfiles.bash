# The boot files' hostile cases: whatever a backup holds is scheduled to replace a live file at the
# next start, so the restore takes only what the component saves (the loader files, the catalog
# folder, files on the system's protected-file list, the protection cache, the performance name
# files, the web server's configuration and the key stores) and refuses anything else before it
# stages: files elsewhere or on other drives, names a Windows path cannot hold, stored paths that
# lead out of the backup, backups without their loader files, and counts, depths and sizes beyond
# any server's. Sourced by tests/lab/hostile.sh.
HOSTILE_COMPONENTS+=(bootfiles)
HOSTILE_OPTION_bootfiles=--boot-files
# A restore stages its copies there; the live files change only at the next start.
HOSTILE_LIVE_bootfiles=SystemStateRestore

hostile_cases_bootfiles() {
    local manifest=CoreBootSystemFilesBackupSet.xml
    local catalog='CatRoot/C/windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'
    local not_ours='is not a file of a boot files backup'
    local no_name='is no name a Windows file can have'

    # The one valid case (a second restore would wait for the first one's restart): besides the
    # machine's own files, the older web server's configuration and a catalog in a new folder.
    new_case valid 0; rm "$CASE/BootFiles/C/NtBootDD.sys"
    printf 'older metabase\r\n' >"$CASE/IIS/C/windows/System32/InetSrv/Metabase.bin"
    mkdir "$CASE/$catalog/New"; printf 'catalog\r\n' >"$CASE/$catalog/New/oem9.cat"

    # No backup: no manifest, another component's, only the manifest, no loader files.
    new_case no-manifest 1; rm "$CASE/$manifest"; expect_text "No core boot files backup in $CASE_WIN"
    new_case wrong-root 1; sed -i 's/type="CoreBootSystemFiles"/type="SystemVolume"/' "$CASE/$manifest"
    expect_text "No core boot files backup in $CASE_WIN"
    new_case manifest-only 1; find "$CASE" -mindepth 1 ! -name "$manifest" -delete
    expect_text "No core boot files backup in $CASE_WIN"
    new_case no-loader-files 1; rm -r "$CASE/BootFiles"; expect_text "No core boot files backup in $CASE_WIN"
    new_case no-ntldr 1; rm "$CASE/BootFiles/C/NtLdr"; expect_text "No core boot files backup in $CASE_WIN"
    new_case ntldr-folder 1; rm "$CASE/BootFiles/C/NtLdr"; mkdir "$CASE/BootFiles/C/NtLdr"
    expect_text "No core boot files backup in $CASE_WIN"

    # Stored paths that lead out of the backup or that no Windows path can hold.
    new_case systemroot-up 1; sed -i 's|C:\\windows<|C:\\windows\\..\\..\\hostile-outside\\base-bootfiles\\CatRoot\\C\\windows<|' "$CASE/$manifest"
    new_case systemroot-unc 1; sed -i 's|C:\\windows<|\\\\VM\\C$\\windows<|' "$CASE/$manifest"
    new_case systemroot-wildcard 1; sed -i 's|C:\\windows<|C:\\win*<|' "$CASE/$manifest"
    expect_text "Invalid systemroot in $CASE_WIN\\$manifest: C\\win*"
    new_case systemroot-device 1; sed -i 's|C:\\windows<|C:\\windows\\CON<|' "$CASE/$manifest"
    expect_text "Invalid systemroot in $CASE_WIN\\$manifest: C\\windows\\CON"
    new_case allusers-trailing-dot 1; sed -i 's|C:\\ProgramData<|C:\\ProgramData.<|' "$CASE/$manifest"
    expect_text "Invalid allusersprofile in $CASE_WIN\\$manifest: C\\ProgramData."

    # Files the component does not save, wherever the backup puts them (each a copy of the loader):
    # the case, the file's place below the backup, and what the text says of its live path.
    local name path why
    while IFS='|' read -r name path why; do
        new_case "$name" 1; mkdir -p "$(dirname "$CASE/$path")"; cp "$CASE/BootFiles/C/NtLdr" "$CASE/$path"
        expect_text "$CASE_WIN\\${path//\//\\} $not_ours${why:+: $why}"
    done <<'FILES'
spf-victim|SPF/C/hostile-outside/victim|C:\hostile-outside\victim is not on this system's protected-file list
spf-sam|SPF/c/windows/system32/config/SAM|c:\windows\system32\config\SAM is not on this system's protected-file list
spf-ntldr|SPF/c/NtLdr|c:\NtLdr is not on this system's protected-file list
spf-new-folder|SPF/c/windows/planted/x.dll|c:\windows\planted\x.dll is not on this system's protected-file list
spf-z-drive|SPF/Z/tmp/victim|Z:\tmp\victim is on neither the system nor the boot volume
ntldr-elsewhere|BootFiles/C/windows/NtLdr|
boot-z-drive|BootFiles/Z/NtLdr|
boot-extra|BootFiles/C/evil.dll|
other-catalog|CatRoot/C/windows/System32/CatRoot/{127D0A1D-4EF2-11D1-8608-00C04FC295EE}/x.cat|
perf-other|Perf/C/windows/System32/PerfC009.dll|
iis-sam|IIS/C/windows/System32/config/SAM|
iis-extra|IIS/C/windows/System32/InetSrv/w3svc.dll|
FILES
    new_case ntldr-twice 1; cp "$CASE/BootFiles/C/NtLdr" "$CASE/BootFiles/C/NTLDR"
    expect_text "are both saved for C:\\NtLdr; a boot files backup holds each file once"
    new_case group-file 1; rm -r "$CASE/SPF"; printf 'planted\r\n' >"$CASE/SPF"; expect_text "$CASE_WIN\\SPF $not_ours"

    # Names a Windows path cannot hold, in the protection cache, where any saved name is taken.
    local n=0
    for name in CON nul.txt 'LPT1 .dll' 'qm*.dll' 'qm?.dll' 'qmshell.dll:evil' 'qmold.dll.' 'qm|x.dll'; do
        new_case "name-$((++n))" 1; printf 'MZ' >"$CASE/SfcDllCache/$name"
        expect_text "$CASE_WIN\\SfcDllCache\\$name: \"$name\" $no_name"
    done
    new_case device-folder 1; mkdir "$CASE/SfcDllCache/COM1"; printf 'MZ' >"$CASE/SfcDllCache/COM1/x.dll"
    expect_text "$CASE_WIN\\SfcDllCache\\COM1: \"COM1\" $no_name"

    # Links: in a group and as a group.
    new_case boot-link 1; rm -r "$CASE/BootFiles/C"; ln -s "$OUTSIDE/base-bootfiles/BootFiles/C" "$CASE/BootFiles/C"
    expect_text "$CASE_WIN\\BootFiles\\C is a link; the backup holds no links"
    new_case spf-link 1; rm -r "$CASE/SPF/c/windows"; ln -s "$OUTSIDE/base-bootfiles/SPF/c/windows" "$CASE/SPF/c/windows"
    expect_text "$CASE_WIN\\SPF\\c\\windows is a link; the backup holds no links"

    # Counts, depths and sizes beyond any server's.
    new_case too-many 1; mkdir "$CASE/SfcDllCache/many"
    (cd "$CASE/SfcDllCache/many" && seq -f 'f%g' 1 100001 | xargs touch)
    expect_text "$CASE_WIN holds more than 100000 files, more than a boot files backup holds"
    new_case too-deep 1; mkdir -p "$CASE/SfcDllCache/$(printf 'd/%.0s' {1..40})"; : >"$CASE/SfcDllCache/$(printf 'd/%.0s' {1..40})x.dll"
    expect_text "lies more than 32 folders deep, deeper than a boot files backup holds"
    new_case huge-file 1; truncate -s 300M "$CASE/SfcDllCache/qmold.dll"
    expect_text "$CASE_WIN\\SfcDllCache\\qmold.dll is larger than 256 MiB, the most a boot files backup file holds"
    new_case huge-manifest 1; head -c 70000 /dev/zero | tr '\0' ' ' >>"$CASE/$manifest"
    expect_text "$CASE_WIN\\$manifest is larger than 64 KiB, more than a boot files manifest holds"
    new_case long-systemroot 1; sed -i "s|C:\\\\windows<|C:\\\\$(printf 'w%.0s' {1..300})<|" "$CASE/$manifest"
    expect_text "Invalid systemroot in $CASE_WIN\\$manifest: longer than 260 characters"
}
