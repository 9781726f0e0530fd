#pragma once
// Applies the module's registry scripts. A script names keys below a root, with values and two
// flags:
//
//     HKCR
//     {
//         NoRemove CLSID                      never removed on unregistration
//         {
//             ForceRemove '%CLASSID%' = s 'Text'    removed whole (and recreated on registration)
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Free'
//                 }
//             }
//         }
//     }
//
// Other keys are removed on unregistration once their own subkeys are gone. Names and values are
// bare words or '...' ('' is a quote); %NAME% is replaced from the replacement table, %% is %.
// Values are strings (s) or numbers (d).

#include "text/Strings.h"

#include <windows.h>

#include <map>

class Registrar
{
public:
    void AddReplacement(const String& name, const String& value);
    // Points a root word (HKCR, HKLM, HKCU, HKU) at another key, so tests can apply a script to a
    // scratch key. The key must outlive the registrar's use.
    void MapRoot(const String& rootName, HKEY key);

    // S_OK, the registry's failure as an HRESULT, or HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a
    // script that does not parse or uses an unknown variable (then nothing is written).
    HRESULT Register(const String& script);
    // Missing keys are not failures.
    HRESULT Unregister(const String& script);

private:
    HRESULT Apply(const String& script, bool doRegister);

    std::map<String, String> m_replacements;
    std::map<String, HKEY> m_roots;
};
