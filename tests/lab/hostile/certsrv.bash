# Certificate Services' hostile cases: locations and names that lead out of the authority's
# folders or out of the backup folder.
HOSTILE_COMPONENTS+=(certsrv)
HOSTILE_OPTION_certsrv=--certificate-services
HOSTILE_LIVE_certsrv='windows/system32/CertLog windows/system32/CertSrv/CertEnroll'
HOSTILE_ROLES+=(ca)

hostile_cases_certsrv() {
    local manifest=CertificateServicesBackupSet.xml host share
    new_case valid 0
    host=$(ls "$CASE/CertSrv") share="\\\\\\\\$host\\\\C\$"  # as sed writes it
    new_case no-manifest 1; rm "$CASE/$manifest"
    new_case wrong-root 1; sed -i 's/type="CertificateServices"/type="ActiveDirectory"/' "$CASE/$manifest"
    new_case link 1; rm -r "$CASE/CertSrv/$host"; ln -s "$OUTSIDE/base-certsrv/CertSrv/$host" "$CASE/CertSrv/$host"
    new_case log-up 1; sed -i "s|<backuplogs>|<backuplogs><file>$share\\\\windows\\\\system32\\\\CertLog\\\\..\\\\..\\\\..\\\\hostile-outside\\\\victim</file>|" "$CASE/$manifest"
    new_case log-directory-outside 1; sed -i "s|<logdir>[^<]*|<logdir>$share\\\\hostile-outside|" "$CASE/$manifest"
    new_case database-outside 1
    sed -i "s|<database>[^<]*|<database>$share\\\\hostile-outside\\\\LabCA.edb|; s|<checkpointdir>[^<]*|<checkpointdir>$share\\\\hostile-outside|" "$CASE/$manifest"
    new_case dynamic-outside 1; sed -i "s|<dynamicfiles>|<dynamicfiles><file>$share\\\\hostile-outside\\\\victim</file>|" "$CASE/$manifest"
    mkdir -p "$CASE/CertSrv/$host/C\$/hostile-outside" && echo planted >"$CASE/CertSrv/$host/C\$/hostile-outside/victim"
}
