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
