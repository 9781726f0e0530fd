# Every lab machine: a Windows server as the components find it. Files and keys that every
# machine needs are added here (lab/registry/*.reg holds the keys that regedit can import).

# The module links the VSS client library at load time, so every machine has the lab's beside
# it (its snapshot tool goes to x64 below the module's folder, see lab/provision).
STANDINS+=(lab/vsswriter/QmVss.dll)
