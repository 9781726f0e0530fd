# Every lab machine: a Windows server as the components find it. Files and keys that every
# machine needs are added here (lab/registry/*.reg holds the keys that regedit can import).

# The COM+ catalog: Wine has none, so every machine gets the lab's (lab/complus), registered
# under the catalog's class identifier; its applications come from lab/registry/complus.reg.
STANDINS+=(lab/complus/labcomplus.dll)
provision_server_complus() {
    local class='HKLM\Software\Classes\CLSID\{F618C514-DFB8-11D1-A2CF-00805FC79235}'
    wine reg add "$class" /ve /d 'COM+ Admin Catalog (lab)' /f >/dev/null &&
        wine reg add "$class\\InprocServer32" /ve /d 'C:\Program Files\Harborline\labcomplus.dll' /f >/dev/null &&
        wine reg add "$class\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null
}

# Windows File Protection's list for the programs in the Harborline folder (Wine's lists nothing).
SYSTEM_STANDINS+=(lab/sfc/sfc.dll)

# A 2003 server's boot and system files, as the boot-files backup finds them: the loader files at
# the root of the boot drive (NtBootDD.sys only on 2003 machines, which boot from a SCSI disk
# here), the system catalog, the protected files that lab/sfc lists (all but qmgone.dll), the
# protection cache (the folder "SfcDllCache" names), the performance-counter files, the IIS
# metabase of a 2003 web server (MetaBase.xml and MBSchema.xml) and the two key stores.
# Each file holds a line naming it, so a test can tell where a restored file came from.
provision_server_bootfiles() {
    local c=$WINEPREFIX/drive_c sys=$WINEPREFIX/drive_c/windows/system32 file
    make_file() { mkdir -p "$(dirname "$1")"; printf '%s of the lab server\r\n' "$2" >"$1"; }
    make_file "$c/NtLdr" "NtLdr"
    printf '[boot loader]\r\ntimeout=30\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(1)\\WINDOWS="Windows Server 2003, Standard" /fastdetect\r\n' >"$c/Boot.ini"
    make_file "$c/NtDetect.com" "NtDetect.com"
    [ "$OS" != 2003 ] || make_file "$c/NtBootDD.sys" "NtBootDD.sys"
    for file in nt5.cat nt5inf.cat oem0.cat "KB893066 (server).cat"; do
        make_file "$sys/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/$file" "catalog $file"
    done
    make_file "$sys/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/Drivers/oem1.cat" "catalog Drivers/oem1.cat"
    make_file "$sys/catroot/{127D0A1D-4EF2-11D1-8608-00C04FC295EE}/other.cat" "catalog of another database"
    make_file "$sys/qmprot32.dll" "protected qmprot32.dll"
    make_file "$sys/drivers/qmprotfs.sys" "protected qmprotfs.sys"
    make_file "$sys/qmshell.dll" "protected qmshell.dll"
    make_file "$WINEPREFIX/drive_c/windows/Fonts/qmserif.ttf" "protected qmserif.ttf"
    # Named by SfcDllCache (lab/registry/bootfiles.reg): Wine empties system32\dllcache at every boot.
    for file in qmprot32.dll qmshell.dll qmold.dll; do make_file "$c/windows/WfpCache/$file" "cached $file"; done
    make_file "$c/windows/WfpCache/i386/qmsetup.inf" "cached i386/qmsetup.inf"
    for file in PerfC009.dat PerfH009.dat PerfC009.bak PerfH009.bak PerfC007.dat; do make_file "$sys/$file" "$file"; done
    make_file "$sys/perfstub.dat" "not a performance name file"
    # IIS 6 keeps its configuration as XML; its history copies are not saved.
    make_file "$sys/inetsrv/MetaBase.xml" "IIS metabase"
    make_file "$sys/inetsrv/MBSchema.xml" "IIS metabase schema"
    make_file "$sys/inetsrv/History/MetaBase_0000000001_0000000000.xml" "IIS metabase history, not saved"
    make_file "$sys/Microsoft/Protect/S-1-5-18/5f3b6d1e-8a61-4b1c-9e7a-3c2d1f0e4b5a" "SYSTEM master key"
    make_file "$sys/Microsoft/Protect/S-1-5-18/Preferred" "SYSTEM preferred key"
    make_file "$sys/Microsoft/Protect/S-1-5-18/User/c08e2f4a-9b1d-4e6f-a3c5-7d9b1e2f4a6c" "SYSTEM user key"
    make_file "$WINEPREFIX/drive_c/ProgramData/Microsoft/Crypto/RSA/MachineKeys/7a436fe806e483969f48a894af2fe9a1_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d" "IIS machine key"
    make_file "$WINEPREFIX/drive_c/ProgramData/Microsoft/Crypto/RSA/MachineKeys/f686aace6942fb7f7ceb231212eef4a4_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d" "machine key"
    unset -f make_file
}

# A second drive, E:, on a folder of the prefix: backups kept apart from the system drive.
provision_server_drives() {
    mkdir -p "$WINEPREFIX/drive_e"
    ln -sfn ../drive_e "$WINEPREFIX/dosdevices/e:"
}
# VSS on machines of version 6 and later: the lab's vssapi.dll (lab/vssapi) in the system folder,
# preferred over Wine's, which does no VSS work. The requestor (QmVss.dll beside the module, and
# x64\dozeZuz.exe, see lab/provision) loads it from there.
provision_server_vssapi() {
    [ "$OS" != 2003 ] || return 0
    cp "$BUILD_DIR/lab/vssapi/vssapi.dll" "$WINEPREFIX/drive_c/windows/system32/vssapi.dll" &&
        wine reg add 'HKCU\Software\Wine\DllOverrides' /v vssapi /d native,builtin /f >/dev/null
}
