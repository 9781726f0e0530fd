# A domain controller: the programs in the Harborline folder get a netapi32 whose
# NetServerGetInfo answers as a domain controller.
STANDINS+=(lab/dcrole/netapi32.dll)
