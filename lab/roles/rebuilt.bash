# Not a role of its own: the same server installed afresh under the same name, with the roles it
# is given, before its backup is restored. Everything a backup of the machine it replaces holds
# differs here: registry values (lab/registry/rebuilt), the running control set (the second),
# volume identities (a drive B: before C:, so C: is \Device\HarddiskVolume2), boot and protected
# files, and, with those roles, the directory database and logs (more generations), the
# authority's database and logs, the SysVol scripts, the COM+ catalog and the cluster database.
# Sorted after the roles it changes, so it runs last.

provision_rebuilt() {
    local c=$WINEPREFIX/drive_c sys=$WINEPREFIX/drive_c/windows/system32 file
    mkdir -p "$WINEPREFIX/drive_b"
    ln -sfn ../drive_b "$WINEPREFIX/dosdevices/b:"

    # The keys a restore carries over are reached through the running control set.
    wine reg copy 'HKLM\SYSTEM\ControlSet001' 'HKLM\SYSTEM\ControlSet002' /s /f >/dev/null 2>&1 &&
        wine reg delete 'HKLM\SYSTEM\ControlSet001' /f >/dev/null 2>&1 &&
        wine reg add 'HKLM\SYSTEM\ControlSet002\Services\NtFrs\Parameters\Backup/Restore\Process at Startup' \
            /v BurFlags /t REG_DWORD /d 210 /f >/dev/null 2>&1 || return 1

    for file in "$c/NtLdr" "$c/NtDetect.com" "$sys/qmprot32.dll" "$sys/drivers/qmprotfs.sys" "$sys/qmshell.dll" \
        "$sys/PerfC009.dat" "$sys/inetsrv/MetaBase.bin" "$c/windows/WfpCache/qmprot32.dll"; do
        [ ! -f "$file" ] || printf '%s of the rebuilt server\r\n' "${file##*/}" >"$file"
    done

    local ntds=$c/windows/NTDS name
    if [ -d "$ntds" ]; then
        rm -f "$ntds"/*.log "$ntds/edb.chk"
        for name in ntds.dit edb.chk edb.log res1.log res2.log; do
            head -c 131072 /dev/urandom >"$ntds/$name"
        done
        # More generations than the backed-up server had.
        for name in $(seq 1 26); do head -c 16384 /dev/urandom >"$ntds/$(printf 'edb%05X.log' "$name")"; done
    fi

    local certlog=$sys/CertLog
    if [ -d "$certlog" ]; then
        rm -f "$certlog"/*.log
        for name in LabCA.edb edb.chk edb0000C.log edb0000D.log edb0000E.log edb0000F.log edb00010.log; do
            head -c 65536 /dev/urandom >"$certlog/$name"
        done
        head -c 700 /dev/urandom >"$sys/CertSrv/CertEnroll/LabCA.crl"
    fi

    local scripts=$c/windows/SYSVOL/domain/scripts
    if [ -d "$scripts" ]; then
        printf '@echo off\r\nrem the rebuilt server\r\n' >"$scripts/logon.bat"
        printf '@echo off\r\nrem only on the rebuilt server\r\n' >"$scripts/rebuilt.cmd"
    fi

    local catalog='HKLM\Software\Harborline Lab\COM+ Catalog\Applications'
    wine reg delete "$catalog\\{6B1C7A2E-5D3F-4B8A-9C21-3E7F0A1D2B44}" /f >/dev/null 2>&1
    wine reg add "$catalog\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}" /v Name /d 'Rebuilt Server Tools' /f >/dev/null 2>&1 ||
        return 1

    if [ -f "$c/windows/cluster/CLUSDB" ]; then
        rm -f "$c/windows/cluster/CLUSDB"
        wine reg add 'HKLM\Cluster\Database' /v Rebuilt /d 'the rebuilt node' /f >/dev/null 2>&1 &&
            wine 'C:\Program Files\Harborline\hivetool.exe' save 'HKLM\Cluster' 'C:\windows\cluster\CLUSDB' \
                >/dev/null 2>&1 || return 1
        printf 'quorum log of the rebuilt node\r\n' >"$c/windows/cluster/quolog.log"
    fi
}
