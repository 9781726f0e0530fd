# COM+'s hostile cases: a comDB.reg that is missing, a folder or a link, damaged files and a
# crafted one that is sound. The live catalog is a registry key; a refusal must leave it, and no
# half-written copy beside it. Sourced by tests/lab/hostile.sh.
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
    # A crafted file that is sound, its checksum (FNV-1a of all before the END line) made anew, is restored.
    new_case valid-changed 0; sed -i 's/Payroll/Paycheck/' "$CASE/comDB.reg"
    python3 - "$CASE/comDB.reg" <<'PY'
import sys
text = open(sys.argv[1], 'rb').read()
body, h = text[:text.rindex(b'END ')], 2166136261
for c in body:
    h = ((h ^ c) * 16777619) & 0xFFFFFFFF
open(sys.argv[1], 'wb').write(body + b'END %08X\n' % h)
PY
}
