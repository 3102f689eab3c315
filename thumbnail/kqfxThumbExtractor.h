// CkqfxThumbExtractor: the shell's thumbnail extractor for .kqfx and .kqf
// files. The shell creates one object per file and calls Load (the path),
// GetLocation (the wanted size), then Extract and GetDateStamp.
//
// The object can be aggregated: its IPersistFile and IExtractImage2 then
// delegate their IUnknown to the outer object, and the outer object holds
// the inner IUnknown that owns the reference count.
#ifndef KQFXTHUMBEXTRACTOR_H
#define KQFXTHUMBEXTRACTOR_H

#include "KQCom.h"
#include "KQOString.h"
#include "KQOTypes.h"

class KQRGBImage;

// Longest path Load keeps, in UTF-16 units, with the terminating NUL.
#define KQ_THUMB_PATH_UNITS 500

class CkqfxThumbExtractor final : public IPersistFile, public IExtractImage2 {
public:
    // Class-factory entry: a new object with or without an outer object.
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object);
    // Runs the registry script (resource 2000) in register or unregister
    // mode.
    static HRESULT UpdateRegistry(BOOL doRegister);

    // The snapshot of a KQFx container and the image block of a binary KQF
    // file. True with the image untouched when the file carries no picture;
    // false on any error.
    static bool ReadKqfxSnapshot(const KQString& path, KQRGBImage& image);
    static bool ReadKqfSnapshot(const KQString& path, KQRGBImage& image);

    // IUnknown, delegating to the controlling unknown.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPersist / IPersistFile.
    STDMETHODIMP GetClassID(CLSID* classId) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPCOLESTR fileName, DWORD mode) override;
    STDMETHODIMP Save(LPCOLESTR fileName, BOOL remember) override;
    STDMETHODIMP SaveCompleted(LPCOLESTR fileName) override;
    STDMETHODIMP GetCurFile(LPOLESTR* fileName) override;

    // IExtractImage / IExtractImage2.
    STDMETHODIMP GetLocation(LPWSTR pathBuffer, DWORD bufferLength, DWORD* priority, const SIZE* size,
                             DWORD recommendedColorDepth, DWORD* flags) override;
    STDMETHODIMP Extract(HBITMAP* bitmap) override;
    STDMETHODIMP GetDateStamp(FILETIME* dateStamp) override;

private:
    // The non-delegating IUnknown: the object's own identity and count.
    class InnerUnknown : public IUnknown {
    public:
        explicit InnerUnknown(CkqfxThumbExtractor* o) : owner(o) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        CkqfxThumbExtractor* owner;
    };

    explicit CkqfxThumbExtractor(IUnknown* outer);
    ~CkqfxThumbExtractor();
    CkqfxThumbExtractor(const CkqfxThumbExtractor&) = delete;
    CkqfxThumbExtractor& operator=(const CkqfxThumbExtractor&) = delete;

    HRESULT ExtractBitmap(HBITMAP* bitmap);

    int32 requestedWidth;
    int32 requestedHeight;
    WCHAR path[KQ_THUMB_PATH_UNITS];

    InnerUnknown inner;
    IUnknown* controlling;
    ULONG refCount;  // apartment-threaded: one thread at a time, not interlocked
};

#endif
