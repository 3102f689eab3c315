// Library text as a plain std::string for comparisons in tests of both
// builds (the wide texts compared there are 7-bit).
#ifndef TEST_TEXT_SUPPORT_H
#define TEST_TEXT_SUPPORT_H

#include <string>

#include "KQOString.h"

inline std::string N(const KQChar* s)
{
    std::string out;
    for (; s && *s; ++s)
        out += static_cast<char>(*s);
    return out;
}

inline std::string N(const KQString& s)
{
    return N(s.CStr());
}

#endif
