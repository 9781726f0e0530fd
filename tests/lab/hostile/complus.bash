# COM+'s hostile cases: a comDB.reg that is missing, a folder, a link or too large, and crafted
# catalog files (most with a correct checksum, so that the catalog's own checks must refuse
# them). The live catalog is a registry key; a refusal must leave it, and no half-written
# copy beside it. Sourced by tests/lab/hostile.sh.
HOSTILE_COMPONENTS+=(complus)
HOSTILE_OPTION_complus=--complus
COMPLUS_KEY='HKLM\Software\Harborline Lab\COM+ Catalog'
HOSTILE_KEYS_complus="$COMPLUS_KEY;$COMPLUS_KEY (restoring)"

# catalog PYTHON [unsigned]: rewrites $CASE/comDB.reg. PYTHON changes lines, the entry lines
# between the header and the END line (str, read as latin-1 so that any byte survives), and
# may change header; the END line's checksum is computed anew unless "unsigned". The edits
# are made together by apply_catalog, in one interpreter.
CATALOG_EDITS=()
catalog() {
    CATALOG_EDITS+=("$CASE/comDB.reg" "$1" "${2:-signed}")
}
apply_catalog() {
    python3 - "${CATALOG_EDITS[@]}" <<'PY'
import sys
args = sys.argv[1:]
for path, code, signed in zip(args[0::3], args[1::3], args[2::3]):
    text = open(path, 'rb').read().decode('latin-1')
    body, end = text[:text.rindex('END ')], text[text.rindex('END '):]
    header, *lines = body.rstrip('\n').split('\n')
    exec(code)
    body = '\n'.join([header] + lines) + '\n'
    if signed == 'signed':
        h = 2166136261
        for c in body.encode('latin-1'):
            h = ((h ^ c) * 16777619) & 0xFFFFFFFF
        end = 'END %08X\n' % h
    open(path, 'wb').write((body + end).encode('latin-1'))
PY
}

hostile_cases_complus() {
    local corrupt='failed: Error = 0x8011043B'
    new_case valid 0
    # Not a plain file of the backup: refused before the catalog is asked.
    new_case missing 1; rm "$CASE/comDB.reg"
    expect_text "No COM+ database backup in $CASE_WIN"
    new_case no-folder 1 none
    expect_text "No COM+ database backup in $CASE_WIN"
    new_case folder 1; rm "$CASE/comDB.reg"; mkdir "$CASE/comDB.reg"; cp "$OUTSIDE/base-complus/comDB.reg" "$CASE/comDB.reg/"
    expect_text "$CASE_WIN\\comDB.reg is a folder, not a COM+ database backup"
    new_case folder-link 1; rm "$CASE/comDB.reg"; ln -s "$OUTSIDE/base-complus" "$CASE/comDB.reg"
    expect_text "Refused to follow the link at $CASE_WIN\\comDB.reg"
    # Wine shows a link to a file as the file itself: what it leads to is restored.
    new_case file-link any; rm "$CASE/comDB.reg"; ln -s "$OUTSIDE/base-complus/comDB.reg" "$CASE/comDB.reg"
    # Damaged files.
    new_case empty 1; : >"$CASE/comDB.reg"; expect_text "$corrupt"
    new_case truncated 1; truncate -s 200 "$CASE/comDB.reg"; expect_text "$corrupt"
    new_case bad-checksum 1; catalog "lines = [l.replace('Payroll', 'Paycheck') for l in lines]" unsigned
    expect_text "$corrupt"
    new_case bad-header 1; catalog "header = 'LAB COM+ REGDB 2'"; expect_text "$corrupt"
    new_case no-end 1; sed -i '$d' "$CASE/comDB.reg"; expect_text "$corrupt"
    # Crafted files with a correct checksum. Each adds its entry last, after the whole genuine
    # tree, so that a catalog that writes as it reads has changed the live tree when it stops.
    new_case huge-line 1; catalog "lines.append('S\t\tHuge\t' + 'x' * (2 * 1024 * 1024))"; expect_text "$corrupt"
    new_case not-utf8 1; catalog "lines.append('S\t\tBytes\t\xff\xfe\xc3')"; expect_text "$corrupt"
    new_case bad-escape 1; catalog "lines.append('S\t\tEscape\t%G1')"; expect_text "$corrupt"
    new_case unknown-kind 1; catalog "lines.append('B\t\tBinary\t00')"; expect_text "$corrupt"
    new_case extra-field 1; catalog "lines.append('S\t\tName\tdata\tmore')"; expect_text "$corrupt"
    new_case key-up 1; catalog "lines.append('K\tApplications\\\\..\\\\..\\\\..\\\\Escaped\t\t')"; expect_text "$corrupt"
    new_case key-empty-part 1; catalog "lines.append('K\tApplications\\\\\\\\Empty\t\t')"; expect_text "$corrupt"
    new_case key-long-name 1; catalog "lines.append('K\tApplications\\\\' + 'k' * 300 + '\t\t')"; expect_text "$corrupt"
    new_case key-too-deep 1
    catalog "lines += ['K\t' + '\\\\'.join(['Deep'] * n) + '\t\t' for n in range(1, 41)]"; expect_text "$corrupt"
    new_case key-twice 1; catalog "lines.append([l for l in lines if l.startswith('K\tApplications')][0])"
    expect_text "$corrupt"
    new_case key-with-data 1; catalog "lines.append('K\tApplications\\\\Extra\tName\tdata')"; expect_text "$corrupt"
    new_case value-without-key 1; catalog "lines.append('S\tNowhere\\\\Planted\tName\tdata')"; expect_text "$corrupt"
    new_case value-twice 1; catalog "lines.append('S\t\tVersion\t2')"; expect_text "$corrupt"
    new_case value-nul 1; catalog "lines.append('S\t\tNul\tbefore%00after')"; expect_text "$corrupt"
    new_case value-name-nul 1; catalog "lines.append('S\t\tNa%00me\tdata')"; expect_text "$corrupt"
    new_case value-long-string 1; catalog "lines.append('S\t\tLong\t' + 'x' * (100 * 1024))"; expect_text "$corrupt"
    new_case number-text 1; catalog "lines.append('D\t\tNumber\tabc')"; expect_text "$corrupt"
    new_case number-wraps 1; catalog "lines.append('D\t\tNumber\t4294967296')"; expect_text "$corrupt"
    new_case number-signed 1; catalog "lines.append('D\t\tNumber\t-1')"; expect_text "$corrupt"
    new_case no-root 1; catalog "lines = lines[1:]"; expect_text "$corrupt"
    # A crafted file that is sound is restored.
    new_case valid-changed 0; catalog "lines = [l.replace('Payroll', 'Paycheck') for l in lines]"
    apply_catalog
}
