// Names in the ANSI code page of the 8-bit build, only where the code page
// holds them exactly.
//
// Windows' own conversions put a best-fit look-alike in place of a
// character that the code page lacks (U+0101, a with macron, becomes 'a',
// the full-width reverse solidus U+FF3C a real '\'), and a conversion
// without best fit puts in a default character: either way the 8-bit text
// names another file. These refuse such text instead.
//
// Exactly means both ways: the bytes read back as the same text. The C1
// controls U+0080-U+009F count as not held, because the bytes of those
// values are letters in Windows-1252 (0x85 is an ellipsis): a name that held one
// would be looked up as another.
#ifndef KQANSITEXT_H
#define KQANSITEXT_H

#include <cstddef>
#include <string>

// Wide text (UTF-16, length units) in the ANSI code page. False, with out
// empty, when the code page does not hold it exactly.
bool KQWideToAnsiExactly(const wchar_t* text, size_t length, std::string* out);
// The same for UTF-8 text; ill-formed UTF-8 is not held.
bool KQUtf8ToAnsiExactly(const std::string& utf8, std::string* out);
// UTF-8 text (a report that names files or values) as the ANSI code page
// can show it to a person, never as a look-alike: each character that the
// code page holds exactly as itself, any other (a C1 control and NUL among
// them) as U+XXXX, and bytes that are not UTF-8 as '?'. For reports only:
// the result names what the text names only when KQUtf8ToAnsiExactly holds it.
std::string KQUtf8ShownInAnsi(const std::string& utf8);

// The absolute form of name (both in the ANSI code page). False when there
// is none, or when the code page cannot hold it exactly: the working folder
// may be named outside it.
bool KQFullPathNameAnsi(const std::string& name, std::string* out);

#endif
