#include "KQRegistrar.h"

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <memory>

namespace {

struct RegValueDecl {
    std::wstring name;  // "" for the default value
    wchar_t type = L's';
    std::wstring text;
};

struct RegKeyDecl {
    std::wstring name;
    bool noRemove = false;
    bool forceRemove = false;
    bool deleteKey = false;
    bool hasDefault = false;
    RegValueDecl defaultValue;
    std::vector<RegValueDecl> values;
    std::vector<RegKeyDecl> children;
};

struct Token {
    std::wstring text;
    bool quoted;
};

bool Tokenize(const std::wstring& s, std::vector<Token>& tokens)
{
    size_t i = 0;
    while (i < s.size()) {
        if (std::iswspace((wint_t)s[i])) {
            i++;
            continue;
        }
        Token t;
        if (s[i] == L'\'') {
            t.quoted = true;
            for (i++;; i++) {
                if (i >= s.size())
                    return false;  // unterminated
                if (s[i] == L'\'') {
                    if (i + 1 < s.size() && s[i + 1] == L'\'') {
                        t.text += L'\'';
                        i++;
                        continue;
                    }
                    i++;
                    break;
                }
                t.text += s[i];
            }
        } else {
            t.quoted = false;
            while (i < s.size() && !std::iswspace((wint_t)s[i]))
                t.text += s[i++];
        }
        tokens.push_back(t);
    }
    return true;
}

bool SameWord(const Token& t, const wchar_t* word)
{
    if (t.quoted || t.text.size() != std::wcslen(word))
        return false;
    for (size_t i = 0; i < t.text.size(); i++)
        if (std::towlower((wint_t)t.text[i]) != std::towlower((wint_t)word[i]))
            return false;
    return true;
}

bool IsBrace(const Token& t, wchar_t brace)
{
    return !t.quoted && t.text.size() == 1 && t.text[0] == brace;
}

class Parser {
public:
    Parser(const std::vector<Token>& t, const KQRegistrarReplacements& r) : tokens(t), replacements(r) {}

    bool ParseRoots(std::vector<std::pair<HKEY, std::vector<RegKeyDecl>>>& roots)
    {
        while (pos < tokens.size()) {
            const Token& name = tokens[pos++];
            HKEY root;
            if (SameWord(name, L"HKCR") || SameWord(name, L"HKEY_CLASSES_ROOT"))
                root = HKEY_CLASSES_ROOT;
            else
                return false;  // only the classes root is written by servers
            std::vector<RegKeyDecl> keys;
            if (!ParseBlock(keys, nullptr))
                return false;
            roots.emplace_back(root, std::move(keys));
        }
        return true;
    }

private:
    // "{ entries }" after a key.
    bool ParseBlock(std::vector<RegKeyDecl>& keys, std::vector<RegValueDecl>* values)
    {
        if (pos >= tokens.size() || !IsBrace(tokens[pos], L'{'))
            return false;
        pos++;
        while (pos < tokens.size() && !IsBrace(tokens[pos], L'}')) {
            if (SameWord(tokens[pos], L"val")) {
                if (!values)
                    return false;
                pos++;
                RegValueDecl v;
                if (pos >= tokens.size() || !Name(tokens[pos++], v.name))
                    return false;
                if (pos >= tokens.size() || tokens[pos].quoted || tokens[pos].text != L"=")
                    return false;
                pos++;
                if (!Value(v))
                    return false;
                values->push_back(v);
                continue;
            }
            RegKeyDecl key;
            if (!ParseKey(key))
                return false;
            keys.push_back(std::move(key));
        }
        if (pos >= tokens.size())
            return false;
        pos++;  // '}'
        return true;
    }

    bool ParseKey(RegKeyDecl& key)
    {
        for (;;) {
            if (pos >= tokens.size())
                return false;
            if (SameWord(tokens[pos], L"NoRemove"))
                key.noRemove = true;
            else if (SameWord(tokens[pos], L"ForceRemove"))
                key.forceRemove = true;
            else if (SameWord(tokens[pos], L"Delete"))
                key.deleteKey = true;
            else
                break;
            pos++;
        }
        if (!Name(tokens[pos++], key.name) || key.name.empty())
            return false;
        if (pos < tokens.size() && !tokens[pos].quoted && tokens[pos].text == L"=") {
            pos++;
            key.hasDefault = true;
            if (!Value(key.defaultValue))
                return false;
        }
        if (pos < tokens.size() && IsBrace(tokens[pos], L'{'))
            return ParseBlock(key.children, &key.values);
        return true;
    }

    bool Name(const Token& t, std::wstring& out)
    {
        if (!t.quoted && (t.text == L"{" || t.text == L"}" || t.text == L"="))
            return false;
        out = t.quoted ? Substitute(t.text) : t.text;
        return !substitutionFailed;
    }

    bool Value(RegValueDecl& v)
    {
        if (pos + 1 >= tokens.size())
            return false;
        const Token& type = tokens[pos++];
        const Token& text = tokens[pos++];
        if (SameWord(type, L"s"))
            v.type = L's';
        else if (SameWord(type, L"d"))
            v.type = L'd';
        else
            return false;
        v.text = Substitute(text.text);
        if (substitutionFailed)
            return false;
        if (v.type == L'd') {
            wchar_t* end = nullptr;
            std::wcstoul(v.text.c_str(), &end, 0);
            if (v.text.empty() || !end || *end)
                return false;
        }
        return true;
    }

    std::wstring Substitute(const std::wstring& s)
    {
        std::wstring out;
        for (size_t i = 0; i < s.size(); i++) {
            if (s[i] != L'%') {
                out += s[i];
                continue;
            }
            size_t close = s.find(L'%', i + 1);
            if (close == std::wstring::npos) {
                substitutionFailed = true;
                return out;
            }
            std::wstring name = s.substr(i + 1, close - i - 1);
            if (name.empty()) {
                out += L'%';
            } else {
                bool found = false;
                for (const auto& r : replacements) {
                    if (r.first == name) {
                        out += r.second;
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    substitutionFailed = true;
                    return out;
                }
            }
            i = close;
        }
        return out;
    }

    const std::vector<Token>& tokens;
    const KQRegistrarReplacements& replacements;
    size_t pos = 0;
    bool substitutionFailed = false;
};

HRESULT FromRegistry(LSTATUS rc)
{
    return rc == ERROR_SUCCESS ? S_OK : KQHResultFromSystemError((DWORD)rc);
}

HRESULT SetValue(HKEY key, const RegValueDecl& v)
{
    const wchar_t* name = v.name.empty() ? nullptr : v.name.c_str();
    if (v.type == L'd') {
        DWORD number = (DWORD)std::wcstoul(v.text.c_str(), nullptr, 0);
        return FromRegistry(RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof(number)));
    }
    return FromRegistry(RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)v.text.c_str(),
                                       (DWORD)((v.text.size() + 1) * sizeof(wchar_t))));
}

HRESULT RegisterKey(HKEY parent, const RegKeyDecl& k)
{
    if (k.deleteKey) {
        LSTATUS rc = RegDeleteTreeW(parent, k.name.c_str());
        return rc == ERROR_FILE_NOT_FOUND ? S_OK : FromRegistry(rc);
    }
    if (k.forceRemove)
        RegDeleteTreeW(parent, k.name.c_str());  // absent is fine
    HKEY key = nullptr;
    HRESULT hr = FromRegistry(RegCreateKeyExW(parent, k.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
    if (FAILED(hr))
        return hr;
    if (k.hasDefault)
        hr = SetValue(key, k.defaultValue);
    for (size_t i = 0; SUCCEEDED(hr) && i < k.values.size(); i++)
        hr = SetValue(key, k.values[i]);
    for (size_t i = 0; SUCCEEDED(hr) && i < k.children.size(); i++)
        hr = RegisterKey(key, k.children[i]);
    RegCloseKey(key);
    return hr;
}

HRESULT UnregisterKey(HKEY parent, const RegKeyDecl& k)
{
    if (k.deleteKey)
        return S_OK;
    if (k.forceRemove) {
        LSTATUS rc = RegDeleteTreeW(parent, k.name.c_str());
        return rc == ERROR_FILE_NOT_FOUND ? S_OK : FromRegistry(rc);
    }
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(parent, k.name.c_str(), 0, KEY_READ | KEY_WRITE, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (rc != ERROR_SUCCESS)
        return FromRegistry(rc);
    HRESULT first = S_OK;
    for (const auto& child : k.children) {
        HRESULT hr = UnregisterKey(key, child);
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    }
    bool removeKey = false;
    if (!k.noRemove) {
        for (const auto& v : k.values)
            RegDeleteValueW(key, v.name.empty() ? nullptr : v.name.c_str());
        DWORD subKeys = 0;
        removeKey = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                    subKeys == 0;
    }
    RegCloseKey(key);
    if (removeKey) {
        rc = RegDeleteKeyW(parent, k.name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && SUCCEEDED(first))
            first = FromRegistry(rc);
    }
    return first;
}

}  // namespace

HRESULT KQRunRegistryScript(const char* script, size_t length, const KQRegistrarReplacements& replacements,
                            bool doRegister)
{
    if (!script || length > 0x7FFFFFFF)
        return E_INVALIDARG;
    try {
        std::wstring text;
        if (length > 0) {
            int n = MultiByteToWideChar(CP_UTF8, 0, script, (int)length, nullptr, 0);
            if (n <= 0)
                return E_FAIL;
            text.resize((size_t)n);
            if (MultiByteToWideChar(CP_UTF8, 0, script, (int)length, &text[0], n) != n)
                return E_FAIL;
        }
        std::vector<Token> tokens;
        if (!Tokenize(text, tokens))
            return E_FAIL;
        std::vector<std::pair<HKEY, std::vector<RegKeyDecl>>> roots;
        Parser parser(tokens, replacements);
        if (!parser.ParseRoots(roots))
            return E_FAIL;

        HRESULT first = S_OK;
        for (const auto& root : roots) {
            for (const auto& key : root.second) {
                HRESULT hr = doRegister ? RegisterKey(root.first, key) : UnregisterKey(root.first, key);
                if (FAILED(hr)) {
                    if (doRegister)
                        return hr;
                    if (SUCCEEDED(first))
                        first = hr;
                }
            }
        }
        return first;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
