# A certification authority: the service "CertSvc" (the lab's service program, slow to stop, for as
# long as the machine runs), an installed but stopped "w3svc", the administrative share
# \\<computer>\C$, and the authority's database, checkpoint, hex-numbered logs and dynamic files
# (CRL, CA certificate) in the usual folders. The programs in the Harborline folder get a
# certadm.dll over that authority (lab/certadm); its settings and knobs are in
# lab/registry/ca/certadm.reg.
SYSTEM_STANDINS+=(lab/certadm/certadm.dll)

# random_file PATH BYTES
ca_random_file() {
    mkdir -p "$(dirname "$1")"
    head -c "$2" /dev/urandom >"$1"
}

provision_ca() {
    local name system=$WINEPREFIX/drive_c/windows/system32
    name=$(wine cmd /c 'echo %COMPUTERNAME%' </dev/null 2>/dev/null | tr -d '\r\n')
    [ -n "$name" ] || { echo "lab/roles/ca: no computer name" >&2; return 1; }
    # Wine finds \\HOST\SHARE through dosdevices/unc/HOST/SHARE.
    mkdir -p "$WINEPREFIX/dosdevices/unc/$name"
    ln -sfn ../../../drive_c "$WINEPREFIX/dosdevices/unc/$name/C\$"

    ca_random_file "$system/CertLog/LabCA.edb" 1100000
    ca_random_file "$system/CertLog/edb.chk" 8192
    local generation
    for generation in 00009 0000A 0000B; do
        ca_random_file "$system/CertLog/edb$generation.log" 131072
    done
    ca_random_file "$system/CertSrv/CertEnroll/LabCA.crl" 700
    ca_random_file "$system/CertSrv/CertEnroll/${name}_LabCA.crt" 1300

    local program='"C:\Program Files\Harborline\labservice.exe"'
    wine sc create CertSvc binPath= "$program slow CertSvc 0" start= auto </dev/null >/dev/null 2>&1 &&
        wine sc create w3svc binPath= "$program prompt w3svc 0" start= demand </dev/null >/dev/null 2>&1 ||
        { echo "lab/roles/ca: creating the services failed" >&2; return 1; }
}
