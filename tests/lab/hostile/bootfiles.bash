# The boot files' hostile cases: stored paths that lead out of the backup folder, and links in it.
HOSTILE_COMPONENTS+=(bootfiles)
HOSTILE_OPTION_bootfiles=--boot-files
# A restore stages its copies there; the live files change only at the next start.
HOSTILE_LIVE_bootfiles=SystemStateRestore

hostile_cases_bootfiles() {
    local manifest=CoreBootSystemFilesBackupSet.xml
    new_case valid 0
    new_case no-manifest 1; rm "$CASE/$manifest"
    new_case wrong-root 1; sed -i 's/type="CoreBootSystemFiles"/type="SystemVolume"/' "$CASE/$manifest"
    new_case systemroot-up 1; sed -i 's|C:\\windows<|C:\\windows\\..\\..\\hostile-outside\\base-bootfiles\\CatRoot\\C\\windows<|' "$CASE/$manifest"
    new_case systemroot-unc 1; sed -i 's|C:\\windows<|\\\\VM\\C$\\windows<|' "$CASE/$manifest"
    new_case boot-link 1; rm -r "$CASE/BootFiles/C"; ln -s "$OUTSIDE/base-bootfiles/BootFiles/C" "$CASE/BootFiles/C"
    new_case spf-link 1; rm -r "$CASE/SPF/c/windows"; ln -s "$OUTSIDE/base-bootfiles/SPF/c/windows" "$CASE/SPF/c/windows"
}
