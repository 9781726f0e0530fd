# SysVol's hostile cases: a copy path that leads out of the backup folder, a link in it or deep
# in the saved tree, and recorded folder links that would lead out of the live tree.
HOSTILE_COMPONENTS+=(sysvol)
HOSTILE_OPTION_sysvol=--sysvol HOSTILE_ENV_sysvol=SAFEBOOT_OPTION=DSREPAIR HOSTILE_LIVE_sysvol=windows/SYSVOL
HOSTILE_ROLES+=(dc)

hostile_cases_sysvol() {
    local manifest=SystemVolumeBackupSet.xml
    new_case valid 0
    new_case no-manifest 1; rm "$CASE/$manifest"
    new_case wrong-root 1; sed -i 's/type="SystemVolume"/type="Registry"/' "$CASE/$manifest"
    new_case up 1; sed -i 's|<directory>|<directory>..\\..\\hostile-outside\\base-sysvol\\SysVol\\|' "$CASE/$manifest"
    new_case unc 1; sed -i 's|<directory>|<directory>\\\\VM\\C$\\hostile-outside\\base-sysvol\\SysVol\\|' "$CASE/$manifest"
    new_case link 1; rm -r "$CASE/SysVol/C/windows"; ln -s "$OUTSIDE/base-sysvol/SysVol/C/windows" "$CASE/SysVol/C/windows"
    new_case deep-link 1; ln -s "$OUTSIDE" "$CASE/SysVol/C/windows/SysVol/domain/scripts/pulled"
    new_case link-target-out 1; sed -i 's|<link target="domain">|<link target="..\\..\\..\\hostile-outside">|' "$CASE/$manifest"
    new_case link-target-drive 1; sed -i 's|<link target="domain">|<link target="C:\\hostile-outside">|' "$CASE/$manifest"
    new_case link-path-out 1; sed -i 's|>sysvol\\lab.example<|>..\\..\\hostile-outside\\made<|' "$CASE/$manifest"
}
