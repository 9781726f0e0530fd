# Certificate Services' hostile cases: locations and names that lead out of the authority's
# folders or out of the backup folder, files listed twice or in the wrong folder, saved files that
# are empty, names Windows does not keep as written, and manifests, lists and names beyond their
# limits. Every refusal comes before CertSvc is stopped: it runs on as before (w3svc, stopped in
# the lab, is stopped only when it runs).
HOSTILE_COMPONENTS+=(certsrv)
HOSTILE_OPTION_certsrv=--certificate-services
HOSTILE_LIVE_certsrv='windows/system32/CertLog windows/system32/CertSrv/CertEnroll'
HOSTILE_SERVICES_certsrv=CertSvc
HOSTILE_ROLES+=(ca)

# ca_manifest PYTHON: rewrites $CASE's manifest after PYTHON has changed v (database, checkpointdir,
# logdir), f (the lists databasefiles, dynamicfiles, backuplogs) or raw (text put last inside the
# root as it stands); live is the system folder as the library names it (\\HOST\C$\...\system32).
# The edits are made together by ca_apply_manifests, in one interpreter.
MANIFEST_EDITS=()
ca_manifest() { MANIFEST_EDITS+=("$CASE/CertificateServicesBackupSet.xml" "$1"); }
ca_apply_manifests() {
    python3 - "${MANIFEST_EDITS[@]}" <<'PY'
import html, re, sys
from xml.sax.saxutils import escape
values, lists = ('database', 'checkpointdir', 'logdir'), ('databasefiles', 'dynamicfiles', 'backuplogs')
for path, code in zip(sys.argv[1::2], sys.argv[2::2]):
    text = open(path, encoding='utf-8').read()
    v = {k: html.unescape(re.search('<%s>([^<]*)</%s>' % (k, k), text).group(1)) for k in values}
    f = {}
    for k in lists:
        block = re.search('<%s>(.*?)</%s>' % (k, k), text, re.S)
        f[k] = [html.unescape(n) for n in re.findall('<file>([^<]*)</file>', block.group(1))] if block else []
    live, raw = v['logdir'].rsplit('\\', 1)[0], ''
    exec(code)
    body = ''.join('<%s>%s</%s>' % (k, escape(v[k]), k) for k in values)
    body += ''.join('<%s>%s</%s>' % (k, ''.join('<file>%s</file>' % escape(n) for n in f[k]), k) for k in lists)
    open(path, 'w', encoding='utf-8').write('<BackupSet type="CertificateServices">%s%s</BackupSet>' % (body, raw))
PY
    [ $? = 0 ] || fail "certsrv: the cases' manifests could not be written"
}

hostile_cases_certsrv() {
    local xml=CertificateServicesBackupSet.xml host share saved newest
    new_case valid 0
    host=$(ls "$CASE/CertSrv") share="\\\\\\\\$host\\\\C\$"  # as sed writes it
    saved=CertSrv/$host/C\$/windows/system32
    # Python: the newest log's name.
    newest="max(f['backuplogs'], key=str.upper)"

    # No backup, or not this component's.
    new_case no-folder 1 none; expect_text "No Certificate Services backup in $CASE_WIN"$'\n'
    new_case no-manifest 1; rm "$CASE/$xml"; expect_text "No Certificate Services backup in $CASE_WIN"$'\n'
    new_case missing-log 1; rm "$CASE/$saved/CertLog/edb0000B.log"
    expect_text "CopyFile($CASE_WIN\\$(tr / '\\' <<<"$saved")\\CertLog\\edb0000B.log, \\\\$host\\C\$\\windows\\system32\\CertLog\\edb0000B.log) failed."$'\n'"Error = 0x00000002"
    new_case wrong-root 1; sed -i 's/type="CertificateServices"/type="ActiveDirectory"/' "$CASE/$xml"

    # Out of the backup folder or out of the authority's folders.
    new_case link 1; rm -r "$CASE/CertSrv/$host"; ln -s "$OUTSIDE/base-certsrv/CertSrv/$host" "$CASE/CertSrv/$host"
    new_case log-up 1; sed -i "s|<backuplogs>|<backuplogs><file>$share\\\\windows\\\\system32\\\\CertLog\\\\..\\\\..\\\\..\\\\hostile-outside\\\\victim</file>|" "$CASE/$xml"
    expect_text "Invalid entry in $CASE_WIN\\$xml: \\\\$host\\C\$\\windows\\system32\\CertLog\\..\\..\\..\\hostile-outside\\victim"$'\n'
    new_case log-directory-outside 1; sed -i "s|<logdir>[^<]*|<logdir>$share\\\\hostile-outside|" "$CASE/$xml"
    new_case database-outside 1
    sed -i "s|<database>[^<]*|<database>$share\\\\hostile-outside\\\\LabCA.edb|; s|<checkpointdir>[^<]*|<checkpointdir>$share\\\\hostile-outside|" "$CASE/$xml"
    new_case dynamic-outside 1; sed -i "s|<dynamicfiles>|<dynamicfiles><file>$share\\\\hostile-outside\\\\victim</file>|" "$CASE/$xml"
    mkdir -p "$CASE/CertSrv/$host/C\$/hostile-outside" && echo planted >"$CASE/CertSrv/$host/C\$/hostile-outside/victim"

    # Each live file once, each kind in its own folder, a whole database and a run of logs.
    new_case newest-log-twice 1; ca_manifest "f['backuplogs'].append($newest.upper())"
    expect_text "is listed twice"
    new_case newest-log-100000-times 1; ca_manifest "f['backuplogs'] += [$newest] * 100000"
    expect_text "lists more than 65536 files in backuplogs"
    new_case log-generation-twice 1; ca_manifest "f['backuplogs'].append($newest.replace('edb', 'edb000'))"
    expect_text "edb0000000B.log is listed twice"
    new_case checkpoint-as-log 1; ca_manifest "f['backuplogs'].append(live + '\\\\CertLog\\\\edb.chk')"
    expect_text "CertLog\\edb.chk"$'\n'
    new_case log-as-database-file 1; ca_manifest "f['databasefiles'].append($newest)"
    new_case no-database-file 1; ca_manifest "f['databasefiles'] = []"
    expect_text "No saved file for the database \\\\$host\\C\$\\windows\\system32\\CertLog\\LabCA.edb in C:\\hostile\\cases\\certsrv-no-database-file\\$xml"
    new_case no-logs 1; ca_manifest "f['backuplogs'] = []"
    expect_text "No saved log in C:\\hostile\\cases\\certsrv-no-logs\\$xml"
    new_case log-gap 1; ca_manifest "f['backuplogs'] = [n for n in f['backuplogs'] if not n.upper().endswith('0000A.LOG')]"
    expect_text "lack a generation between them"
    new_case log-generation-overflow 1; ca_manifest "f['backuplogs'].append(live + '\\\\CertLog\\\\edb10000000B.log')"
    new_case empty-database 1; : >"$CASE/$saved/CertLog/LabCA.edb"
    expect_text "The saved file C:\\hostile\\cases\\certsrv-empty-database\\$(tr / '\\' <<<"$saved")\\CertLog\\LabCA.edb is empty"
    new_case empty-log 1; : >"$CASE/$saved/CertLog/edb00009.log"
    expect_text "edb00009.log is empty"

    # Names Windows does not keep as written.
    new_case log-trailing-dot 1; ca_manifest "f['backuplogs'] = [n + '.' if n == $newest else n for n in f['backuplogs']]"
    expect_text "CertLog\\edb0000B.log."$'\n'
    # (The manifest's reader drops blanks at either end of a text.)
    new_case folder-trailing-blank 1; ca_manifest "v['database'] = v['database'].replace('\\\\CertLog\\\\', '\\\\CertLog \\\\')"
    expect_text "CertLog \\LabCA.edb"$'\n'
    new_case log-stream 1; ca_manifest "f['backuplogs'] = [n + ':x' if n == $newest else n for n in f['backuplogs']]"
    new_case device-name 1; ca_manifest "f['dynamicfiles'].append(live + '\\\\CertSrv\\\\CertEnroll\\\\com1.crl')"
    expect_text "CertEnroll\\com1.crl"$'\n'
    new_case wildcard 1; ca_manifest "f['dynamicfiles'].append(live + '\\\\CertSrv\\\\CertEnroll\\\\*.crl')"
    new_case doubled-backslash 1; ca_manifest "f['backuplogs'] = [n.replace('\\\\CertLog', '\\\\\\\\CertLog') for n in f['backuplogs']]"

    # Limits on what the manifest holds.
    new_case database-40000-characters 1; ca_manifest "v['database'] = v['logdir'] + '\\\\' + 'x' * 40000 + '.edb'"
    expect_text "characters, more than 1024: "
    new_case part-300-characters 1; ca_manifest "f['dynamicfiles'].append(live + '\\\\CertSrv\\\\CertEnroll\\\\' + 'x' * 300)"
    new_case dynamic-files-4097 1
    ca_manifest "f['dynamicfiles'] = [live + '\\\\CertSrv\\\\CertEnroll\\\\%d.crl' % i for i in range(4097)]"
    expect_text "lists more than 4096 files in dynamicfiles"
    new_case manifest-9-mib 1; ca_manifest "raw = '<!--' + 'x' * (9 << 20) + '-->'"
    expect_text "C:\\hostile\\cases\\certsrv-manifest-9-mib\\$xml is larger than 8388608 bytes"
    new_case nested-100000-deep 1
    python3 -c "import sys; t = open(sys.argv[1]).read(); open(sys.argv[1], 'w').write(t.replace('<dynamicfiles>', '<dynamicfiles><file>' + '<a>' * 100000 + '</a>' * 100000 + '</file>', 1))" "$CASE/$xml"
    ca_apply_manifests
}
