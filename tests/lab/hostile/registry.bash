# The registry's hostile cases: mutated manifests, damaged and crafted saved hives, links in the
# backup folder. Sourced by tests/lab/hostile.sh.
HOSTILE_COMPONENTS+=(registry)
HOSTILE_OPTION_registry=--registry
# A restore prepares the replacement hives there; the live hives change only at the next start.
HOSTILE_LIVE_registry=SystemStateRestore

# entries PYTHON: rewrites $CASE's manifest from its entries: PYTHON changes e, a list of
# [filepath, hivefile, hivepath] in document order, and may set inside (text put first in
# <files>). The edits are made together by apply_entries, in one interpreter.
ENTRY_EDITS=()
entries() {
    ENTRY_EDITS+=("$CASE/RegistryBackupSet.xml" "$1")
}
apply_entries() {
    python3 - "${ENTRY_EDITS[@]}" <<'PY'
import re, sys, html
for path, code in zip(sys.argv[1::2], sys.argv[2::2]):
    text = open(path, encoding='utf-8').read()
    e = [list(map(html.unescape, m)) for m in re.findall(r'<file filepath="([^"]*)" hivefile="([^"]*)" hivepath="([^"]*)"/>', text)]
    inside = ''
    exec(code)
    files = ''.join('<file filepath="%s" hivefile="%s" hivepath="%s"/>' % tuple(html.escape(v) for v in x) for x in e)
    open(path, 'w', encoding='utf-8').write('<BackupSet type="Registry"><files>%s%s</files></BackupSet>' % (inside, files))
PY
}

# The UTF-16 hex form of a registry link's target, as a saved hive holds it.
link_to_canary() {
    printf '#link\n"SymbolicLinkValue"=hex(6):%s\n' "$(printf '%s' '\REGISTRY\Machine\Software\QmHostileCanary' |
        iconv -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//')"
}

hostile_cases_registry() {
    local config='Reg/C/WINDOWS/system32/config' bad

    new_case valid 0
    # Only <file> elements are entries.
    new_case comments-and-foreign-elements 0
    entries "inside = '<!-- note --><?note x?><other filepath=\"C\\\\x\"/>text'"

    # No backup: nothing restored is no success.
    new_case no-folder 1 none
    new_case no-manifest 1; rm "$CASE/RegistryBackupSet.xml"; expect_text "No registry backup in $CASE_WIN"
    new_case wrong-root 1; sed -i 's/type="Registry"/type="SystemVolume"/' "$CASE/RegistryBackupSet.xml"
    new_case no-files 1; printf '<BackupSet type="Registry"/>' >"$CASE/RegistryBackupSet.xml"
    new_case no-entries 1; entries 'e = []'
    new_case truncated 1; truncate -s 300 "$CASE/RegistryBackupSet.xml"
    expect_text "RegistryBackupSetException ERROR: Could not load xml file: $CASE_WIN\\RegistryBackupSet.xml"

    # Entries that do not name a live hive by its own file, or name one twice.
    new_case sam-file-as-system 1
    entries "e = [x for x in e if not x[2].endswith('SYSTEM')]; [x.__setitem__(2, x[2].replace('SAM', 'SYSTEM')) for x in e if x[2].endswith('SAM')]"
    new_case whole-root 1; entries "e[0][2] = '\\\\REGISTRY\\\\MACHINE\\\\'"
    new_case hardware 1; entries "e[0][2] = '\\\\REGISTRY\\\\MACHINE\\\\HARDWARE'"
    new_case trailing-backslash 1; entries "e[-1][2] += '\\\\'"
    new_case not-loaded 1; entries "e[0][2] = '\\\\REGISTRY\\\\MACHINE\\\\SOMETHING'"
    new_case no-hivefile 1; entries "e[-1][1] = ''"
    new_case other-hivefile 1; entries "e[-1][1] = e[-1][1].rsplit('\\\\', 1)[0] + '\\\\other'"
    new_case duplicate 1; entries 'e = e + e[-1:] * 1000'
    new_case many-entries 1; entries "e = [['C\\\\x%d' % i, '\\\\Device\\\\HarddiskVolume1\\\\x%d' % i, '\\\\REGISTRY\\\\USER\\\\S-%d' % i] for i in range(12000)]"
    new_case path-up 1; entries "e[-1][0] = 'C\\\\..\\\\..\\\\hostile-outside\\\\SAM'"
    new_case path-stream 1; entries "e[-1][0] += ':stream'"
    new_case device-name 1; entries "e[-1] = ['C\\\\AUX', '\\\\Device\\\\HarddiskVolume1\\\\AUX', e[-1][2]]"

    # Entities in a document type declaration.
    new_case entities 1
    sed -i "s|^<BackupSet|<!DOCTYPE BackupSet [<!ENTITY a \"$(printf 'x%.0s' {1..64})\"><!ENTITY b \"\&a;\&a;\&a;\&a;\&a;\&a;\&a;\&a;\"><!ENTITY c \"\&b;\&b;\&b;\&b;\&b;\&b;\&b;\&b;\">]><BackupSet|; s|filepath=\"C|filepath=\"\&c;C|" "$CASE/RegistryBackupSet.xml"

    # Damaged saved hives: every failed load leaves no temporary key behind.
    new_case empty-hive 1; : >"$CASE/$config/SAM"
    new_case hive-is-folder 1; rm "$CASE/$config/SAM"; mkdir "$CASE/$config/SAM"

    # Crafted hives whose links lead into the live registry.
    new_case system-link 1; { echo; echo '[MountedDevices] 1'; link_to_canary; } >>"$CASE/$config/system"
    new_case software-link 1
    awk -v link="$(link_to_canary)" '
        /^\[Microsoft\\\\Windows\\\\CurrentVersion\\\\Reliability\]/ { print; print link; skip = 1; next }
        /^\[/ { skip = 0 }
        !skip' "$CASE/$config/software" >"$CASE/x" && mv "$CASE/x" "$CASE/$config/software"

    # Links in the backup folder that lead outside it.
    new_case folder-link 1; rm -r "$CASE/$config"; ln -s "$OUTSIDE/base-registry/$config" "$CASE/$config"
    new_case reg-link 1; rm -r "$CASE/Reg"; ln -s "$OUTSIDE/base-registry/Reg" "$CASE/Reg"
    apply_entries

    # No file links: Windows shows a symbolic link to a file as a reparse point, which the restore
    # refuses, and deletes the link itself; Wine shows a plain file and deletes what it points at.
}
