// Lintomel's COM class as the shell drives it: class factory, interfaces,
// aggregation, Load / GetLocation / Extract / GetDateStamp, unload rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "KQCom.h"
#include "KQOError.h"
#include "KQThumbIds.h"
#include "test_thumbnail_support.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
STDAPI DllCanUnloadNow();
STDAPI DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* object);

using namespace thumbtest;
using kqinput::Bytes;

namespace {

class Attach : public ::testing::Environment {
public:
    void SetUp() override { DllMain((HINSTANCE)GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr); }
    void TearDown() override { DllMain((HINSTANCE)GetModuleHandleW(nullptr), DLL_PROCESS_DETACH, nullptr); }
};
const auto* attach = ::testing::AddGlobalTestEnvironment(new Attach);

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() { Reset(); }
    void Reset()
    {
        if (p)
            p->Release();
        p = nullptr;
    }
    void** Out() { return (void**)&p; }
};

class Extractor : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = Scratch("test_thumbnail_com");
        ASSERT_EQ(S_OK, DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, factory.Out()));
        ASSERT_EQ(S_OK, factory.p->CreateInstance(nullptr, IID_IPersistFile, persist.Out()));
        ASSERT_EQ(S_OK, persist.p->QueryInterface(IID_IExtractImage2, extract.Out()));
    }
    void TearDown() override
    {
        extract.Reset();
        persist.Reset();
        factory.Reset();
        EXPECT_EQ(S_OK, DllCanUnloadNow()) << "a test left a reference behind";
    }

    fs::path Jpeg(const char* name, int w, int h)
    {
        fs::path p = dir / name;
        EXPECT_TRUE(
            kqinput::WriteZip(Utf8(p), {{"Case001/Snapshot.jpeg", kqinput::EncodeJpeg(kqinput::Picture(w, h), w, h)}}));
        return p;
    }
    fs::path Kqf(const char* name, const Bytes& pixels, int w, int h)
    {
        kqinput::KqfLayout s;
        s.width = w;
        s.height = h;
        s.pixels = pixels;
        fs::path p = dir / name;
        EXPECT_TRUE(kqinput::WriteFile(p, kqinput::BuildKqf(s)));
        return p;
    }

    HRESULT Thumbnail(const fs::path& file, LONG cx, LONG cy, HBITMAP* bitmap, DWORD flags = 0)
    {
        HRESULT hr = persist.p->Load(WideText(file).c_str(), 0);
        if (FAILED(hr))
            return hr;
        SIZE size = {cx, cy};
        DWORD priority = 0;
        WCHAR location[MAX_PATH];
        hr = extract.p->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags);
        if (FAILED(hr) && hr != E_PENDING)
            return hr;
        return extract.p->Extract(bitmap);
    }

    static SIZE BitmapSize(HBITMAP bitmap)
    {
        BITMAP bm = {};
        EXPECT_NE(0, GetObjectW(bitmap, sizeof(bm), &bm));
        return SIZE{bm.bmWidth, bm.bmHeight};
    }

    fs::path dir;
    Ref<IClassFactory> factory;
    Ref<IPersistFile> persist;
    Ref<IExtractImage2> extract;
};

TEST_F(Extractor, AnswersItsInterfacesOnly)
{
    Ref<IUnknown> a, b;
    ASSERT_EQ(S_OK, persist.p->QueryInterface(IID_IUnknown, a.Out()));
    ASSERT_EQ(S_OK, extract.p->QueryInterface(IID_IUnknown, b.Out()));
    EXPECT_EQ(a.p, b.p) << "one identity whichever interface is asked";
    Ref<IExtractImage> one;
    EXPECT_EQ(S_OK, persist.p->QueryInterface(IID_IExtractImage, one.Out()));
    Ref<IPersistFile> back;
    EXPECT_EQ(S_OK, one.p->QueryInterface(IID_IPersistFile, back.Out()));
    EXPECT_EQ(back.p, persist.p);

    for (const IID* iid : {&IID_IPersist, &IID_IkqfxThumbExtractor, &IID_IClassFactory, &IID_IDispatch}) {
        void* none = (void*)1;
        EXPECT_EQ(E_NOINTERFACE, persist.p->QueryInterface(*iid, &none));
        EXPECT_EQ(none, nullptr);
    }
    EXPECT_EQ(E_POINTER, persist.p->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(Extractor, UnsupportedPersistenceIsNotImplemented)
{
    CLSID c;
    LPOLESTR name = nullptr;
    EXPECT_EQ(E_NOTIMPL, persist.p->GetClassID(&c));
    EXPECT_EQ(E_NOTIMPL, persist.p->IsDirty());
    EXPECT_EQ(E_NOTIMPL, persist.p->Save(L"x", TRUE));
    EXPECT_EQ(E_NOTIMPL, persist.p->SaveCompleted(L"x"));
    EXPECT_EQ(E_NOTIMPL, persist.p->GetCurFile(&name));
}

TEST_F(Extractor, FitsWithoutEnlarging)
{
    HBITMAP bitmap = nullptr;
    ASSERT_EQ(S_OK, Thumbnail(Jpeg("big.kqfx", 1024, 768), 96, 96, &bitmap));
    SIZE s = BitmapSize(bitmap);
    EXPECT_EQ(s.cx, 96);
    EXPECT_EQ(s.cy, 72);
    DeleteObject(bitmap);

    ASSERT_EQ(S_OK, Thumbnail(Jpeg("small.kqfx", 100, 50), 256, 256, &bitmap));
    s = BitmapSize(bitmap);
    EXPECT_EQ(s.cx, 100);
    EXPECT_EQ(s.cy, 50);
    DeleteObject(bitmap);

    ASSERT_EQ(S_OK, Thumbnail(Kqf("tall.kqf", Pattern(30, 300), 30, 300), 64, 64, &bitmap));
    s = BitmapSize(bitmap);
    EXPECT_EQ(s.cx, 6);
    EXPECT_EQ(s.cy, 64);
    DeleteObject(bitmap);
}

TEST_F(Extractor, BitmapHoldsThePictureColours)
{
    HBITMAP bitmap = nullptr;
    ASSERT_EQ(S_OK, Thumbnail(Kqf("red.kqf", Uniform(40, 20, 200, 30, 10), 40, 20), 16, 16, &bitmap));
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    COLORREF c = GetPixel(dc, 3, 2);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bitmap);
    EXPECT_EQ(GetRValue(c), 200);
    EXPECT_EQ(GetGValue(c), 30);
    EXPECT_EQ(GetBValue(c), 10);
}

TEST_F(Extractor, AsyncAsksToWaitAndKeepsTheSize)
{
    SIZE size = {50, 50};
    DWORD priority = 0, flags = IEIFLAG_ASYNC | IEIFLAG_ASPECT;
    WCHAR location[8];
    ASSERT_EQ(S_OK, persist.p->Load(WideText(Jpeg("async.kqfx", 200, 100)).c_str(), 0));
    EXPECT_EQ(E_PENDING, extract.p->GetLocation(location, 8, &priority, &size, 24, &flags));
    EXPECT_EQ(flags, (DWORD)(IEIFLAG_ASYNC | IEIFLAG_ASPECT));
    HBITMAP bitmap = nullptr;
    ASSERT_EQ(S_OK, extract.p->Extract(&bitmap));
    EXPECT_EQ(BitmapSize(bitmap).cx, 50);
    EXPECT_EQ(BitmapSize(bitmap).cy, 25);
    DeleteObject(bitmap);

    flags = IEIFLAG_ASPECT;
    EXPECT_EQ(S_OK, extract.p->GetLocation(location, 8, &priority, &size, 24, &flags));
}

TEST_F(Extractor, ExtensionDecidesTheReader)
{
    HBITMAP bitmap = (HBITMAP)1;
    fs::path mixed = Jpeg("model.KqFx", 20, 10);
    EXPECT_EQ(S_OK, Thumbnail(mixed, 64, 64, &bitmap));
    DeleteObject(bitmap);

    // A container under another name goes to the binary reader and fails.
    std::error_code ec;
    fs::copy_file(mixed, dir / "model.zip", fs::copy_options::overwrite_existing, ec);
    fs::copy_file(mixed, dir / "model", fs::copy_options::overwrite_existing, ec);
    bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "model.zip", 64, 64, &bitmap));
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "model", 64, 64, &bitmap));
}

TEST_F(Extractor, FailuresLeaveNoBitmap)
{
    HBITMAP bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "missing.kqf", 64, 64, &bitmap));
    EXPECT_EQ(bitmap, nullptr);

    // No picture in the file.
    ASSERT_TRUE(kqinput::WriteZip(Utf8(dir / "empty.kqfx"), {{"Case001/Model.kqf", Bytes(8, 1)}}));
    bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "empty.kqfx", 64, 64, &bitmap));
    EXPECT_EQ(bitmap, nullptr);

    // A fitted side of 0 (3000 x 1 into 96 x 96).
    bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, Thumbnail(Kqf("line.kqf", Pattern(3000, 1), 3000, 1), 96, 96, &bitmap));
    EXPECT_EQ(bitmap, nullptr);

    // Before any Load, and with no size asked.
    Ref<IExtractImage> fresh;
    ASSERT_EQ(S_OK, factory.p->CreateInstance(nullptr, IID_IExtractImage, fresh.Out()));
    bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, fresh.p->Extract(&bitmap));
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(E_FAIL, Thumbnail(Jpeg("nosize.kqfx", 20, 20), 0, 0, &bitmap));
}

TEST_F(Extractor, SizesOfNothingFailWithoutAPicture)
{
    // No picture fits a width or height of 0 or less; such a request ends
    // before the file is read (it decoded the whole snapshot first).
    const fs::path good = Jpeg("request.kqfx", 40, 20);
    const SIZE sizes[] = {{0, 96}, {96, 0}, {-1, 96}, {96, -5}, {-96, -96}, {INT32_MIN, INT32_MIN}};
    for (const SIZE& size : sizes) {
        HBITMAP bitmap = (HBITMAP)1;
        EXPECT_EQ(E_FAIL, Thumbnail(good, size.cx, size.cy, &bitmap)) << size.cx << "x" << size.cy;
        EXPECT_EQ(bitmap, nullptr);
    }
    HBITMAP bitmap = nullptr;
    ASSERT_EQ(S_OK, Thumbnail(good, 8, 96, &bitmap));
    EXPECT_EQ(BitmapSize(bitmap).cx, 8);
    DeleteObject(bitmap);
}

TEST_F(Extractor, RefusedSnapshotsLeaveNothingBehind)
{
    // Inside the shell no diagnostics may appear: a grey-scale or CMYK
    // snapshot fails without opening a console or touching the trace file
    // of the current folder (the scratch folder here, which no other test
    // program shares).
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    const char* const notes = "my own notes, keep me";
    ASSERT_TRUE(kqinput::WriteFile("APItrace.txt", std::string(notes)));
    kqinput::JpegSettings grey;
    grey.components = 1;
    kqinput::JpegSettings cmyk;
    cmyk.components = 4;
    ASSERT_TRUE(kqinput::WriteZip(Utf8(dir / "grey.kqfx"),
                                  {{"Case001/Snapshot.jpeg", kqinput::EncodeJpeg(Bytes(32 * 16, 90), 32, 16, grey)}}));
    ASSERT_TRUE(
        kqinput::WriteZip(Utf8(dir / "cmyk.kqfx"),
                          {{"Case001/Snapshot.jpeg", kqinput::EncodeJpeg(Bytes(32 * 16 * 4, 90), 32, 16, cmyk)}}));
    HBITMAP bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "grey.kqfx", 64, 64, &bitmap));
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "cmyk.kqfx", 64, 64, &bitmap));
    EXPECT_FALSE(KQConsoleAllocated());
    std::ifstream trace("APItrace.txt");
    std::string text((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, notes);
    fs::current_path(previous);

    // A snapshot whose few header bytes announce 26000 x 26000 pixels fails
    // at once instead of filling gigabytes with grey.
    Bytes small = kqinput::EncodeJpeg(kqinput::Picture(48, 48), 48, 48);
    for (size_t i = 2; i + 8 < small.size(); i += 2 + (size_t(small[i + 2]) << 8 | small[i + 3]))
        if (small[i + 1] == 0xC0) {
            small[i + 5] = small[i + 7] = 26000 >> 8;
            small[i + 6] = small[i + 8] = 26000 & 0xFF;
            break;
        }
    ASSERT_TRUE(kqinput::WriteZip(Utf8(dir / "huge.kqfx"), {{"Case001/Snapshot.jpeg", small}}));
    EXPECT_EQ(E_FAIL, Thumbnail(dir / "huge.kqfx", 256, 256, &bitmap));
    EXPECT_EQ(bitmap, nullptr);
}

TEST_F(Extractor, OverlongPathsAreRefusedAndForgotten)
{
    fs::path good = Jpeg("good.kqfx", 20, 10);
    HBITMAP bitmap = nullptr;
    ASSERT_EQ(S_OK, Thumbnail(good, 64, 64, &bitmap));
    DeleteObject(bitmap);

    // 500 units that still name the file: its folder, "./" steps, its name.
    std::wstring folder = WideText(dir) + L"/", name = L"good.kqfx";
    std::wstring longName = folder;
    while (longName.size() + name.size() + 2 <= 500)
        longName += L"./";
    if (longName.size() + name.size() < 500)
        longName += L"/";
    longName += name;
    ASSERT_EQ(longName.size(), 500u);
    EXPECT_EQ(E_FAIL, persist.p->Load(longName.c_str(), 0));
    bitmap = (HBITMAP)1;
    EXPECT_EQ(E_FAIL, extract.p->Extract(&bitmap)) << "the previous path must not be used";
    EXPECT_EQ(bitmap, nullptr);
    FILETIME t;
    EXPECT_EQ(E_FAIL, extract.p->GetDateStamp(&t));

    longName.erase(folder.size(), 1);  // 499 units fit
    EXPECT_EQ(S_OK, persist.p->Load(longName.c_str(), 0));
    EXPECT_EQ(S_OK, extract.p->Extract(&bitmap));
    DeleteObject(bitmap);
}

TEST_F(Extractor, DateStamp)
{
    fs::path p = Kqf("dated.kqf", Pattern(2, 2), 2, 2);
    ASSERT_EQ(S_OK, persist.p->Load(WideText(p).c_str(), 0));
    FILETIME stamp = {};
    ASSERT_EQ(S_OK, extract.p->GetDateStamp(&stamp));
    HANDLE h = CreateFileW(WideText(p).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME written = {};
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &written));
    EXPECT_EQ(stamp.dwLowDateTime, written.dwLowDateTime);
    EXPECT_EQ(stamp.dwHighDateTime, written.dwHighDateTime);
    EXPECT_NE(stamp.dwHighDateTime, 0u);
    CloseHandle(h);

    // Held open for writing without read sharing.
    HANDLE writer = CreateFileW(WideText(p).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(E_FAIL, extract.p->GetDateStamp(&stamp));
    CloseHandle(writer);
    EXPECT_EQ(S_OK, extract.p->GetDateStamp(&stamp));

    ASSERT_EQ(S_OK, persist.p->Load(WideText(dir / "missing.kqf").c_str(), 0));
    EXPECT_EQ(E_FAIL, extract.p->GetDateStamp(&stamp));
}

TEST(ClassFactory, UnloadRuleAndClasses)
{
    EXPECT_EQ(S_OK, DllCanUnloadNow());
    Ref<IClassFactory> factory;
    void* none = (void*)1;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(IID_IUnknown, IID_IClassFactory, &none));
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, factory.Out()));
    EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "a held factory keeps the module";

    Ref<IClassFactory> again;
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IUnknown, again.Out()));
    EXPECT_EQ(factory.p, again.p) << "one factory for the module";
    again.Reset();

    Ref<IUnknown> object;
    ASSERT_EQ(S_OK, factory.p->CreateInstance(nullptr, IID_IUnknown, object.Out()));
    EXPECT_EQ(S_OK, factory.p->LockServer(TRUE));
    factory.Reset();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    object.Reset();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "LockServer(TRUE) still holds it";
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, factory.Out()));
    EXPECT_EQ(S_OK, factory.p->LockServer(FALSE));
    factory.Reset();
    EXPECT_EQ(S_OK, DllCanUnloadNow());

    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, factory.Out()));
    none = (void*)1;
    EXPECT_EQ(E_NOINTERFACE, factory.p->CreateInstance(nullptr, IID_IPersist, &none));
    EXPECT_EQ(none, nullptr);
    factory.Reset();
    EXPECT_EQ(S_OK, DllCanUnloadNow()) << "a refused interface leaves no object";
}

// An outer object that aggregates the extractor, as a COM container would.
class Outer : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    IUnknown* inner = nullptr;
    ULONG refs = 1;
};

TEST(ClassFactory, Aggregation)
{
    Ref<IClassFactory> factory;
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, factory.Out()));
    Outer outer;
    void* none = (void*)1;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory.p->CreateInstance(&outer, IID_IPersistFile, &none));
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(S_OK, factory.p->CreateInstance(&outer, IID_IUnknown, (void**)&outer.inner));

    IPersistFile* persist = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IPersistFile, (void**)&persist));
    EXPECT_EQ(outer.refs, 2u) << "references to the inner interfaces count on the outer object";
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, persist->QueryInterface(IID_IUnknown, (void**)&identity));
    EXPECT_EQ(identity, &outer) << "IUnknown through an inner interface is the outer object";
    identity->Release();
    persist->Release();
    EXPECT_EQ(outer.refs, 1u);

    factory.Reset();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    outer.inner->Release();
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
