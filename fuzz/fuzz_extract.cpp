// libFuzzer target: Lintomel's whole Extract as the shell drives it (class
// factory, Load, GetLocation, Extract): the reader, the fit, Scale, the DIB
// section and the bitmap, on a KQF or KQFx file.
//
// Input: byte 0 picks the file (bit 0 set: .kqfx, else .kqf; for .kqfx, bit 1
// set: the rest is the snapshot entry of a well-formed container, deflated
// when bit 2 is set, since mutated zip bytes rarely keep a valid entry);
// bytes 1 and 2 are the requested width and height less one; the rest is the
// file or the entry.
#include <cstddef>
#include <cstdint>
#include <string>

#include "KQCom.h"
#include "KQFuzzSupport.h"
#include "KQThumbIds.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
STDAPI DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* object);

namespace {

IClassFactory* factory = nullptr;

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref()
    {
        if (p)
            p->Release();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // As the shell loads the module: diagnostics off, the factory kept.
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || !factory)
        return 0;
    static kqfuzz::ScratchFile kqfx(".kqfx");
    static kqfuzz::ScratchFile kqf(".kqf");
    const uint8_t mode = data[0];
    const SIZE wanted = {static_cast<LONG>(data[1]) + 1, static_cast<LONG>(data[2]) + 1};
    const uint8_t* body = data + 3;
    const size_t length = size - 3;
    const kqfuzz::ScratchFile& file = (mode & 1) ? kqfx : kqf;
    if ((mode & 1) && (mode & 2)) {
        if (!kqfuzz::WriteSnapshotContainer(file.Path(), body, length, (mode & 4) != 0))
            return 0;
    } else if (!file.Write(body, length)) {
        return 0;
    }

    Ref<IPersistFile> persist;
    Ref<IExtractImage> extract;
    if (FAILED(factory->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(&persist.p))) ||
        FAILED(persist.p->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract.p))))
        return 0;
    const std::wstring name(file.Path().begin(), file.Path().end());
    if (FAILED(persist.p->Load(name.c_str(), 0)))
        return 0;
    WCHAR location[MAX_PATH];
    DWORD priority = 0, flags = 0;
    SIZE requested = wanted;
    extract.p->GetLocation(location, MAX_PATH, &priority, &requested, 32, &flags);
    HBITMAP bitmap = nullptr;
    if (SUCCEEDED(extract.p->Extract(&bitmap))) {
        // The bitmap must be of the fitted size: never larger than asked.
        BITMAP bm = {};
        if (!bitmap || GetObjectW(bitmap, sizeof(bm), &bm) == 0 || bm.bmWidth < 1 || bm.bmHeight < 1 ||
            bm.bmWidth > wanted.cx || bm.bmHeight > wanted.cy)
            __builtin_trap();
        DeleteObject(bitmap);
    } else if (bitmap) {
        __builtin_trap();  // a failure hands nothing over
    }
    return 0;
}
