# A domain controller: the programs in the Harborline folder get the lab's netapi32, whose
# NetServerGetInfo answers as a domain controller where lab/registry/dc sets the machine's role.
STANDINS+=(lab/netapi/netapi32.dll)
