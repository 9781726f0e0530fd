# Every lab machine: a Windows server as the components find it. Files and keys that every
# machine needs are added here (lab/registry/*.reg holds the keys that regedit can import).
