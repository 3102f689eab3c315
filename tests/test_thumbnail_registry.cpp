// Registration of Lintomel and the registrar behind it. The test writes to
// HKEY_CLASSES_ROOT (here the stand-in's file named by KQ_REGISTRY_FILE,
// which CTest points into the build folder) and removes what it wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KQCom.h"
#include "KQRegistrar.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();

namespace {

const wchar_t* kClsid = L"{3b8d41e2-6c0f-4a97-8d25-e4f7a9c1b03d}";
const wchar_t* kClsidKey = L"CLSID\\{3b8d41e2-6c0f-4a97-8d25-e4f7a9c1b03d}";
const wchar_t* kHandler = L"{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";

bool KeyExists(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The string value, or "<missing>".
std::wstring Value(const std::wstring& path, const wchar_t* name = nullptr)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"<missing>";
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer), type = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)buffer, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return L"<missing>";
    return buffer;
}

std::wstring ModulePath()
{
    wchar_t path[2048];
    DWORD n = GetModuleFileNameW(GetModuleHandleW(nullptr), path, 2048);
    return std::wstring(path, n);
}

bool SameText(std::wstring a, std::wstring b)
{
    for (auto* s : {&a, &b})
        for (auto& c : *s)
            c = (wchar_t)towlower((wint_t)c);
    return a == b;
}

class Registration : public ::testing::Test {
protected:
    static void SetUpTestSuite() { DllMain((HINSTANCE)GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr); }
    static void TearDownTestSuite() { DllMain((HINSTANCE)GetModuleHandleW(nullptr), DLL_PROCESS_DETACH, nullptr); }
};

TEST_F(Registration, WritesTheTableAndRemovesItsOwnKeys)
{
    // Left over from an earlier registration: force-removed first.
    HKEY stale = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (std::wstring(kClsidKey) + L"\\Stale").c_str(), 0,
                                             nullptr, 0, KEY_WRITE, nullptr, &stale, nullptr));
    RegCloseKey(stale);

    ASSERT_EQ(S_OK, DllRegisterServer());
    std::wstring clsid = kClsidKey;
    EXPECT_EQ(Value(L"KqfxThumb.Extractor.1"), L"KQFx Thumbnail Viewer");
    EXPECT_EQ(Value(L"KqfxThumb.Extractor.1\\CLSID"), kClsid);
    EXPECT_EQ(Value(L"KqfxThumb.Extractor"), L"KQFx Thumbnail Viewer");
    EXPECT_EQ(Value(L"KqfxThumb.Extractor\\CLSID"), kClsid);
    EXPECT_EQ(Value(L"KqfxThumb.Extractor\\CurVer"), L"KqfxThumb.Extractor.1");
    EXPECT_EQ(Value(clsid), L"KQFx Thumbnail Viewer");
    EXPECT_EQ(Value(clsid + L"\\ProgID"), L"KqfxThumb.Extractor.1");
    EXPECT_EQ(Value(clsid + L"\\VersionIndependentProgID"), L"KqfxThumb.Extractor");
    EXPECT_TRUE(KeyExists(clsid + L"\\Programmable"));
    EXPECT_TRUE(SameText(Value(clsid + L"\\InprocServer32"), ModulePath()));
    EXPECT_EQ(Value(clsid + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(Value(clsid + L"\\TypeLib"), L"{A94C2F18-5E63-4B7D-8C01-6F2B3D9E4A75}");
    EXPECT_FALSE(KeyExists(clsid + L"\\Stale"));
    for (const wchar_t* ext : {L".kqfx", L".kqf"})
        EXPECT_EQ(Value(std::wstring(ext) + L"\\shellex\\" + kHandler), kClsid) << ext;
    // The type library.
    EXPECT_EQ(Value(L"TypeLib\\{A94C2F18-5E63-4B7D-8C01-6F2B3D9E4A75}\\1.0"), L"KqfxThumbExtractor 1.0 Type Library");
    EXPECT_EQ(Value(L"Interface\\{5E0A7C3B-94D2-4F61-A8B7-2C9E1D6F3A40}"), L"IkqfxThumbExtractor");

    // Another handler under the same shellex key must survive removal.
    HKEY other = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CLASSES_ROOT, L".kqf\\shellex\\{00000000-1111-2222-3333-444444444444}", 0, nullptr,
                              0, KEY_WRITE, nullptr, &other, nullptr));
    RegCloseKey(other);

    ASSERT_EQ(S_OK, DllUnregisterServer());
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_TRUE(KeyExists(L".kqfx"));
    EXPECT_TRUE(KeyExists(L".kqf"));
    EXPECT_TRUE(KeyExists(L".kqf\\shellex\\{00000000-1111-2222-3333-444444444444}"));
    for (const wchar_t* gone :
         {L"KqfxThumb.Extractor.1", L"KqfxThumb.Extractor", kClsidKey, L".kqfx\\shellex",
          L"TypeLib\\{A94C2F18-5E63-4B7D-8C01-6F2B3D9E4A75}", L"Interface\\{5E0A7C3B-94D2-4F61-A8B7-2C9E1D6F3A40}"})
        EXPECT_FALSE(KeyExists(gone)) << std::string(gone, gone + std::wcslen(gone));
    EXPECT_FALSE(KeyExists(std::wstring(L".kqf\\shellex\\") + kHandler));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L".kqf\\shellex");

    // Removal of what is not there is no failure.
    EXPECT_EQ(S_OK, DllUnregisterServer());
}

// ---- the registrar on scripts of its own -----------------------------------

const wchar_t* kScriptRoot = L"KQTestRegistrar";

HRESULT RunScript(const char* script, bool doRegister)
{
    KQRegistrarReplacements r;
    r.emplace_back(L"MODULE", L"C:\\it's\\here.dll");
    return KQRunRegistryScript(script, std::strlen(script), r, doRegister);
}

TEST(Registrar, ValuesQuotesAndSubstitution)
{
    const char* script = "HKCR { NoRemove KQTestRegistrar { 'Key With Space' = s 'it''s %MODULE% 100%%'\n"
                         "{ val Count = d '42' val Name = s 'x' } } }";
    ASSERT_EQ(S_OK, RunScript(script, true));
    EXPECT_EQ(Value(L"KQTestRegistrar\\Key With Space"), L"it's C:\\it's\\here.dll 100%");
    EXPECT_EQ(Value(L"KQTestRegistrar\\Key With Space", L"Name"), L"x");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, L"KQTestRegistrar\\Key With Space", 0, KEY_READ, &key));
    DWORD number = 0, size = sizeof(number), type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"Count", nullptr, &type, (LPBYTE)&number, &size));
    RegCloseKey(key);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(number, 42u);

    ASSERT_EQ(S_OK, RunScript(script, false));
    EXPECT_TRUE(KeyExists(kScriptRoot)) << "NoRemove";
    EXPECT_FALSE(KeyExists(L"KQTestRegistrar\\Key With Space"));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"KQTestRegistrar");
}

TEST(Registrar, LineBreaksInValuesSurviveTheHive)
{
    // A value holding a line break must come back whole, and the store
    // must stay readable for every later call.
    ASSERT_EQ(S_OK, RunScript("HKCR { KQTestRegistrar = s 'first\nsecond\r\\n' }", true));
    EXPECT_EQ(Value(kScriptRoot), L"first\nsecond\r\\n");
    EXPECT_TRUE(KeyExists(kScriptRoot));
    ASSERT_EQ(S_OK, RunScript("HKCR { KQTestRegistrar = s 'x' }", false));
    EXPECT_FALSE(KeyExists(kScriptRoot));
}

TEST(Registrar, BadScriptsChangeNothing)
{
    for (const char* bad :
         {"HKCR { KQTestRegistrar = s 'unterminated }", "HKLM { KQTestRegistrar }", "HKCR { KQTestRegistrar = x 'v' }",
          "HKCR { KQTestRegistrar { val = s 'v' } }", "HKCR { KQTestRegistrar = s '%UNKNOWN%' }",
          "HKCR { KQTestRegistrar = d 'abc' }", "HKCR { KQTestRegistrar", "HKCR { val X = s 'v' }"}) {
        EXPECT_EQ(E_FAIL, RunScript(bad, true)) << bad;
        EXPECT_FALSE(KeyExists(kScriptRoot)) << bad;
    }
}

TEST(Registrar, DeleteAndForceRemove)
{
    ASSERT_EQ(S_OK, RunScript("HKCR { NoRemove KQTestRegistrar { Old { Deep } Keep { Mine } } }", true));
    ASSERT_EQ(S_OK, RunScript("HKCR { NoRemove KQTestRegistrar { Delete Old ForceRemove Keep = s 'v' } }", true));
    EXPECT_FALSE(KeyExists(L"KQTestRegistrar\\Old"));
    EXPECT_TRUE(KeyExists(L"KQTestRegistrar\\Keep"));
    EXPECT_FALSE(KeyExists(L"KQTestRegistrar\\Keep\\Mine")) << "ForceRemove clears the key before writing";
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"KQTestRegistrar");
}

}  // namespace
