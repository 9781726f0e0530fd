# COM+'s hostile cases: a comDB.reg that is missing, a folder or a link, damaged files, and
# crafted ones with a correct checksum, so that the catalog's own checks must refuse them (each
# adds its entry after the whole genuine tree: a catalog that wrote as it read would have changed
# the live tree when it stops). The live catalog is a registry key; a refusal must leave it, and
# no half-written copy beside it. Sourced by tests/lab/hostile.sh.
HOSTILE_COMPONENTS+=(complus)
HOSTILE_OPTION_complus=--complus
COMPLUS_KEY='HKLM\Software\Harborline Lab\COM+ Catalog'
HOSTILE_KEYS_complus="$COMPLUS_KEY;$COMPLUS_KEY (restoring)"

hostile_cases_complus() {
    local corrupt='failed: Error = 0x8011043B'
    new_case valid 0
    # Not a plain file of the backup: refused before the catalog is asked.
    new_case missing 1; rm "$CASE/comDB.reg"; expect_text "No COM+ database backup in $CASE_WIN"
    new_case no-folder 1 none; expect_text "No COM+ database backup in $CASE_WIN"
    new_case folder 1; rm "$CASE/comDB.reg"; mkdir "$CASE/comDB.reg"; cp "$OUTSIDE/base-complus/comDB.reg" "$CASE/comDB.reg/"
    expect_text "$CASE_WIN\\comDB.reg is a folder, not a COM+ database backup"
    new_case folder-link 1; rm "$CASE/comDB.reg"; ln -s "$OUTSIDE/base-complus" "$CASE/comDB.reg"
    expect_text "Refused to follow the link at $CASE_WIN\\comDB.reg"
    # Wine shows a link to a file as the file itself: what it leads to is restored.
    new_case file-link any; rm "$CASE/comDB.reg"; ln -s "$OUTSIDE/base-complus/comDB.reg" "$CASE/comDB.reg"
    # Damaged files: the catalog's code reaches the caller, and the live catalog stays. What the
    # catalog checks in a file is its own (here the lab's stand-in), not the module's.
    new_case empty 1; : >"$CASE/comDB.reg"; expect_text "$corrupt"
    new_case truncated 1; truncate -s 200 "$CASE/comDB.reg"; expect_text "$corrupt"
    new_case bad-checksum 1; sed -i 's/Payroll/Paycheck/' "$CASE/comDB.reg"; expect_text "$corrupt"
    new_case no-end 1; sed -i '$d' "$CASE/comDB.reg"; expect_text "$corrupt"
    # Each is PYTHON that changes `lines` (the entries between header and END, latin-1) or `header`.
    local crafted=(
        "bad-header|header = 'LAB COM+ REGDB 2'"
        "huge-line|lines.append('S\t\tHuge\t' + 'x' * (2 * 1024 * 1024))"
        "not-utf8|lines.append('S\t\tBytes\t\xff\xfe\xc3')"
        "bad-escape|lines.append('S\t\tEscape\t%G1')"
        "unknown-kind|lines.append('B\t\tBinary\t00')"
        "extra-field|lines.append('S\t\tName\tdata\tmore')"
        "key-up|lines.append('K\tApplications\\\\..\\\\..\\\\..\\\\Escaped\t\t')"
        "key-long-name|lines.append('K\tApplications\\\\' + 'k' * 300 + '\t\t')"
        "key-too-deep|lines += ['K\t' + '\\\\'.join(['Deep'] * n) + '\t\t' for n in range(1, 41)]"
        "key-twice|lines.append([l for l in lines if l.startswith('K\tApplications')][0])"
        "value-without-key|lines.append('S\tNowhere\\\\Planted\tName\tdata')"
        "value-twice|lines.append('S\t\tVersion\t2')"
        "value-nul|lines.append('S\t\tNul\tbefore%00after')"
        "number-wraps|lines.append('D\t\tNumber\t4294967296')"
        "no-root|lines = lines[1:]")
    local entry
    for entry in "${crafted[@]}"; do
        new_case "${entry%%|*}" 1; complus_sign "${entry#*|}"; expect_text "$corrupt"
    done
    # A crafted file that is sound is restored.
    new_case valid-changed 0; complus_sign "lines = [l.replace('Payroll', 'Paycheck') for l in lines]"
}

# complus_sign PYTHON: rewrites $CASE/comDB.reg through PYTHON and gives it the checksum the
# catalog expects (FNV-1a of all before the END line).
complus_sign() {
    python3 - "$CASE/comDB.reg" "$1" <<'PY'
import sys
path, code = sys.argv[1:]
text = open(path, 'rb').read().decode('latin-1')
body = text[:text.rindex('END ')]
header, *lines = body.rstrip('\n').split('\n')
exec(code)
body, h = '\n'.join([header] + lines) + '\n', 2166136261
for c in body.encode('latin-1'):
    h = ((h ^ c) * 16777619) & 0xFFFFFFFF
open(path, 'wb').write((body + 'END %08X\n' % h).encode('latin-1'))
PY
}
