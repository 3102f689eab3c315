// The HKEY_CLASSES_ROOT hive of the stand-in, kept in a text file.
//
// Every call reads the file, works on the tree in memory and, when it
// changed something, writes the file back whole. The hive of a COM
// registration is a few dozen keys, so simplicity wins over speed here.
#include "KQPlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KQStandInWideText.h"

using kqstandin::FromUtf8;
using kqstandin::ToUtf8;

// An open key is its full path below the root ("" for the root itself).
struct KQStandInKey {
    std::wstring path;
};

namespace {

struct RegValue {
    std::wstring name;  // "" is the default value
    DWORD type = REG_SZ;
    std::wstring text;
    DWORD number = 0;
};

struct RegNode {
    std::wstring name;
    std::map<std::wstring, std::unique_ptr<RegNode>> children;  // by folded name
    std::vector<RegValue> values;
};

std::mutex registryLock;

std::wstring Fold(const std::wstring& s)
{
    std::wstring out(s);
    for (auto& c : out)
        c = (wchar_t)std::towlower((wint_t)c);
    return out;
}

bool SameName(const std::wstring& a, const std::wstring& b)
{
    return Fold(a) == Fold(b);
}

std::string HiveFileName()
{
    const char* given = std::getenv("KQ_REGISTRY_FILE");
    if (given && *given)
        return given;
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && *config)
        base = config;
    else if (home && *home)
        base = std::string(home) + "/.config";
    else
        base = "/tmp/kqstandin-" + std::to_string((unsigned long)getuid());
    return base + "/kqstandin/registry.reg";
}

void MakeParentFolders(const std::string& file)
{
    for (size_t p = file.find('/', 1); p != std::string::npos; p = file.find('/', p + 1)) {
        std::string folder = file.substr(0, p);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

// Splits "a\b\c" into its non-empty parts.
std::vector<std::wstring> SplitPath(const std::wstring& path)
{
    std::vector<std::wstring> parts;
    std::wstring cur;
    for (wchar_t c : path) {
        if (c == L'\\') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

std::wstring JoinPath(const std::wstring& a, const std::wstring& b)
{
    std::wstring tail;
    for (const auto& p : SplitPath(b))
        tail += (tail.empty() ? L"" : L"\\") + p;
    if (a.empty())
        return tail;
    if (tail.empty())
        return a;
    return a + L"\\" + tail;
}

RegNode* Find(RegNode* root, const std::wstring& path)
{
    RegNode* node = root;
    for (const auto& part : SplitPath(path)) {
        auto it = node->children.find(Fold(part));
        if (it == node->children.end())
            return nullptr;
        node = it->second.get();
    }
    return node;
}

RegNode* Create(RegNode* root, const std::wstring& path, bool* created)
{
    RegNode* node = root;
    if (created)
        *created = false;
    for (const auto& part : SplitPath(path)) {
        auto& slot = node->children[Fold(part)];
        if (!slot) {
            slot.reset(new RegNode);
            slot->name = part;
            if (created)
                *created = true;
        }
        node = slot.get();
    }
    return node;
}

// ---- the file ----------------------------------------------------------

std::string Quote(const std::wstring& s)
{
    std::string out = "\"";
    for (char c : ToUtf8(s)) {
        // A line break kept as it stands would cut the value's line in two
        // and leave the whole file unreadable.
        if (c == '\n' || c == '\r') {
            out += c == '\n' ? "\\n" : "\\r";
            continue;
        }
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after it.
bool Unquote(const std::string& line, size_t& pos, std::wstring& out)
{
    if (pos >= line.size() || line[pos] != '"')
        return false;
    std::string raw;
    for (pos++; pos < line.size(); pos++) {
        char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            char next = line[++pos];
            raw += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else if (c == '"') {
            pos++;
            out = FromUtf8(raw);
            return true;
        } else {
            raw += c;
        }
    }
    return false;
}

void WriteNode(FILE* f, const RegNode& node, const std::wstring& path)
{
    if (!path.empty()) {
        std::fprintf(f, "\n[%s]\n", ToUtf8(path).c_str());
        for (const auto& v : node.values) {
            std::string name = v.name.empty() ? "@" : Quote(v.name);
            if (v.type == REG_DWORD)
                std::fprintf(f, "%s=dword:%08x\n", name.c_str(), (unsigned)v.number);
            else
                std::fprintf(f, "%s=%s\n", name.c_str(), Quote(v.text).c_str());
        }
    }
    for (const auto& child : node.children)
        WriteNode(f, *child.second, JoinPath(path, child.second->name));
}

bool LoadHive(RegNode& root)
{
    FILE* f = std::fopen(HiveFileName().c_str(), "rb");
    if (!f)
        return errno == ENOENT;  // no file yet: an empty hive
    RegNode* current = nullptr;
    char buffer[4096];
    std::string line;
    bool ok = true;
    while (ok && std::fgets(buffer, sizeof(buffer), f)) {
        line += buffer;
        if (line.empty() || (line.back() != '\n' && !std::feof(f)))
            continue;  // a long line: keep reading
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos || close < 1)
                ok = false;
            else
                current = Create(&root, FromUtf8(line.substr(1, close - 1)), nullptr);
        } else if (!line.empty() && (line[0] == '@' || line[0] == '"') && current) {
            RegValue v;
            size_t pos = 0;
            if (line[0] == '@')
                pos = 1;
            else if (!Unquote(line, pos, v.name))
                ok = false;
            if (ok && (pos >= line.size() || line[pos] != '='))
                ok = false;
            pos++;
            if (ok && line.compare(pos, 6, "dword:") == 0) {
                v.type = REG_DWORD;
                v.number = (DWORD)std::strtoul(line.c_str() + pos + 6, nullptr, 16);
            } else if (ok && !Unquote(line, pos, v.text)) {
                ok = false;
            }
            if (ok)
                current->values.push_back(v);
        }
        line.clear();
    }
    std::fclose(f);
    return ok;
}

bool SaveHive(const RegNode& root)
{
    std::string name = HiveFileName();
    MakeParentFolders(name);
    std::string temp = name + ".tmp" + std::to_string((long)getpid());
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    std::fprintf(f, "KQStandIn registry: HKEY_CLASSES_ROOT\n");
    WriteNode(f, root, L"");
    bool ok = std::fflush(f) == 0;
    ok = (std::fclose(f) == 0) && ok;
    if (ok && std::rename(temp.c_str(), name.c_str()) != 0)
        ok = false;
    if (!ok)
        std::remove(temp.c_str());
    return ok;
}

// Resolves a handle and a relative path to a full path; false for a
// handle that is not a key.
bool FullPath(HKEY key, LPCWSTR subKey, std::wstring& out)
{
    if (key == HKEY_CLASSES_ROOT)
        out.clear();
    else if (key)
        out = key->path;
    else
        return false;
    out = JoinPath(out, subKey ? std::wstring(subKey) : std::wstring());
    return true;
}

HKEY NewHandle(const std::wstring& path)
{
    KQStandInKey* k = new (std::nothrow) KQStandInKey;
    if (k)
        k->path = path;
    return k;
}

RegValue* FindValue(RegNode* node, LPCWSTR name)
{
    std::wstring n = name ? name : L"";
    for (auto& v : node->values)
        if (SameName(v.name, n))
            return &v;
    return nullptr;
}

// Runs `work` (root, node, full path, changed) on the existing key
// key\subKey of a freshly read hive, under the lock, and writes the hive back
// when `work` succeeded and set `changed`.
template <class Work>
LSTATUS OnKey(HKEY key, LPCWSTR subKey, Work work)
{
    std::wstring path;
    if (!FullPath(key, subKey, path))
        return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(registryLock);
    RegNode root;
    if (!LoadHive(root))
        return ERROR_BADDB;
    RegNode* node = Find(&root, path);
    if (!node)
        return ERROR_FILE_NOT_FOUND;
    bool changed = false;
    LSTATUS rc = work(root, *node, path, changed);
    if (rc == ERROR_SUCCESS && changed && !SaveHive(root))
        return ERROR_WRITE_FAULT;
    return rc;
}

}  // namespace

const char* KQStandInRegistryFile()
{
    static std::string name;
    std::lock_guard<std::mutex> guard(registryLock);
    name = HiveFileName();
    return name.c_str();
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPVOID, PHKEY result,
                        LPDWORD disposition)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::wstring path;
    if (!FullPath(key, subKey, path))
        return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(registryLock);
    RegNode root;
    if (!LoadHive(root))
        return ERROR_BADDB;
    bool created = false;
    Create(&root, path, &created);
    if (created && !SaveHive(root))
        return ERROR_WRITE_FAULT;
    *result = NewHandle(path);
    if (!*result)
        return ERROR_OUTOFMEMORY;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    return OnKey(key, subKey, [&](RegNode&, RegNode&, const std::wstring& path, bool&) -> LSTATUS {
        *result = NewHandle(path);
        return *result ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
    });
}

LSTATUS RegCloseKey(HKEY key)
{
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (key != HKEY_CLASSES_ROOT)
        delete key;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    RegValue v;
    v.name = valueName ? valueName : L"";
    v.type = type;
    if (type == REG_SZ) {
        if (size % sizeof(wchar_t) != 0 || (size && !data))
            return ERROR_INVALID_PARAMETER;
        size_t n = size / sizeof(wchar_t);
        std::wstring text(n, L'\0');
        if (n)
            std::memcpy(&text[0], data, size);
        size_t end = text.find(L'\0');
        if (end != std::wstring::npos)
            text.resize(end);
        v.text = text;
    } else if (type == REG_DWORD) {
        if (size != 4 || !data)
            return ERROR_INVALID_PARAMETER;
        std::memcpy(&v.number, data, 4);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    return OnKey(key, nullptr, [&](RegNode&, RegNode& node, const std::wstring&, bool& changed) -> LSTATUS {
        if (RegValue* old = FindValue(&node, valueName))
            *old = v;
        else
            node.values.push_back(v);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    return OnKey(key, nullptr, [&](RegNode&, RegNode& node, const std::wstring&, bool&) -> LSTATUS {
        RegValue* v = FindValue(&node, valueName);
        if (!v)
            return ERROR_FILE_NOT_FOUND;
        if (type)
            *type = v->type;
        DWORD needed = v->type == REG_DWORD ? 4 : (DWORD)((v->text.size() + 1) * sizeof(wchar_t));
        if (!size)
            return ERROR_SUCCESS;
        if (!data) {
            *size = needed;
            return ERROR_SUCCESS;
        }
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (v->type == REG_DWORD)
            std::memcpy(data, &v->number, 4);
        else
            std::memcpy(data, v->text.c_str(), needed);
        *size = needed;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    return OnKey(key, nullptr, [&](RegNode&, RegNode& node, const std::wstring&, bool& changed) -> LSTATUS {
        std::wstring n = valueName ? valueName : L"";
        for (auto it = node.values.begin(); it != node.values.end(); ++it) {
            if (SameName(it->name, n)) {
                node.values.erase(it);
                changed = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

namespace {

LSTATUS DeleteKey(HKEY key, LPCWSTR subKey, bool tree)
{
    return OnKey(key, subKey, [&](RegNode& root, RegNode& node, const std::wstring& path, bool& changed) -> LSTATUS {
        if (tree && (!subKey || !*subKey)) {
            // Empties the key itself and keeps it.
            node.children.clear();
            node.values.clear();
        } else {
            if (path.empty())
                return ERROR_ACCESS_DENIED;  // the root stays
            if (!tree && !node.children.empty())
                return ERROR_ACCESS_DENIED;
            std::vector<std::wstring> parts = SplitPath(path);
            std::wstring leaf = parts.back();
            parts.pop_back();
            std::wstring parentPath;
            for (const auto& p : parts)
                parentPath = JoinPath(parentPath, p);
            RegNode* parent = Find(&root, parentPath);
            parent->children.erase(Fold(leaf));
        }
        changed = true;
        return ERROR_SUCCESS;
    });
}

}  // namespace

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    return DeleteKey(key, subKey, false);
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey)
{
    return DeleteKey(key, subKey, true);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPWSTR, LPDWORD, LPVOID)
{
    if (!name || !nameLength)
        return ERROR_INVALID_PARAMETER;
    return OnKey(key, nullptr, [&](RegNode&, RegNode& node, const std::wstring&, bool&) -> LSTATUS {
        if (index >= node.children.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = node.children.begin();
        std::advance(it, index);
        const std::wstring& child = it->second->name;
        if (*nameLength <= child.size())
            return ERROR_MORE_DATA;
        std::wmemcpy(name, child.c_str(), child.size() + 1);
        *nameLength = (DWORD)child.size();
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR, LPDWORD, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD, LPVOID)
{
    return OnKey(key, nullptr, [&](RegNode&, RegNode& node, const std::wstring&, bool&) -> LSTATUS {
        DWORD maxKey = 0, maxName = 0, maxData = 0;
        for (const auto& c : node.children)
            maxKey = std::max(maxKey, (DWORD)c.second->name.size());
        for (const auto& v : node.values) {
            maxName = std::max(maxName, (DWORD)v.name.size());
            maxData = std::max(maxData, v.type == REG_DWORD ? 4u : (DWORD)((v.text.size() + 1) * sizeof(wchar_t)));
        }
        if (subKeys)
            *subKeys = (DWORD)node.children.size();
        if (maxSubKeyLength)
            *maxSubKeyLength = maxKey;
        if (values)
            *values = (DWORD)node.values.size();
        if (maxValueNameLength)
            *maxValueNameLength = maxName;
        if (maxValueLength)
            *maxValueLength = maxData;
        return ERROR_SUCCESS;
    });
}
