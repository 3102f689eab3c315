// A small registrar for registry scripts in the usual .rgs syntax:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {clsid} = s 'Display name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Tokens are separated by white space; a name or value in single quotes
// may hold spaces ('' is a quote). Value types: s (string) and d (DWORD).
// Key modifiers: NoRemove (never removed), ForceRemove (deleted whole
// before it is written, and whole on removal), Delete (deleted on
// registration). On removal a key without NoRemove is deleted only once no
// subkeys are left, so keys that others share stay. %NAME% in quoted text
// is replaced from the substitution list; %% is a percent sign.
#ifndef KQREGISTRAR_H
#define KQREGISTRAR_H

#include <string>
#include <utility>
#include <vector>

#include "KQCom.h"

typedef std::vector<std::pair<std::wstring, std::wstring>> KQRegistrarReplacements;

// The script is 8-bit text (UTF-8). A script that does not parse gives
// E_FAIL and changes nothing; registry failures as the HRESULT of the
// registry's error. Registration stops at the first failure; removal goes
// on and reports the first failure at the end.
HRESULT KQRunRegistryScript(const char* script, size_t length, const KQRegistrarReplacements& replacements,
                            bool doRegister);

#endif
