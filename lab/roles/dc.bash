# A domain controller: the programs in the Harborline folder get a netapi32 whose
# NetServerGetInfo answers as a domain controller.
STANDINS+=(lab/dcrole/netapi32.dll)

# The directory: the lab's directory backup client over C:\WINDOWS\NTDS.
STANDINS+=(lab/ntdsbcli/ntdsbcli.dll)

# The directory's files: database, checkpoint, generation-numbered logs, the current log and the
# reserve logs. The database's size is no multiple of the API's read size, so its last read ends
# short.
provision_dc_ntds() {
    local ntds=$PREFIX/drive_c/windows/NTDS name
    mkdir -p "$ntds"
    head -c $((2 * 1048576 + 12345)) /dev/urandom >"$ntds/ntds.dit"
    for name in edb.chk edb00001.log edb00002.log edb00003.log edb.log res1.log res2.log; do
        head -c 262144 /dev/urandom >"$ntds/$name"
    done
}
