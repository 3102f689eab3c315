// The COM side of the thumbnail extractor: identity, persistence of the
// path, the requested size, the bitmap and the date stamp.
#include "kqfxThumbExtractor.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "KQComModule.h"
#include "KQOFile.h"
#include "KQOImage.h"
#include "KQOImageDIB.h"
#include "KQThumbIds.h"

CkqfxThumbExtractor::CkqfxThumbExtractor(IUnknown* outer)
    : requestedWidth(0), requestedHeight(0), inner(this), controlling(outer ? outer : &inner), refCount(0)
{
    path[0] = 0;
    kqModule.Lock();
}

CkqfxThumbExtractor::~CkqfxThumbExtractor()
{
    kqModule.Unlock();
}

HRESULT CkqfxThumbExtractor::CreateInstance(IUnknown* outer, REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    // An outer object may only ask for the inner IUnknown.
    if (outer && !IsEqualIID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    CkqfxThumbExtractor* extractor = new (std::nothrow) CkqfxThumbExtractor(outer);
    if (!extractor)
        return E_OUTOFMEMORY;
    // Hold one reference while asking, so that a refused interface frees it.
    extractor->inner.AddRef();
    HRESULT hr = extractor->inner.QueryInterface(riid, object);
    extractor->inner.Release();
    return hr;
}

// ---- IUnknown --------------------------------------------------------------

HRESULT CkqfxThumbExtractor::InnerUnknown::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown))
        *object = static_cast<IUnknown*>(this);
    else if (IsEqualIID(riid, IID_IPersistFile))
        *object = static_cast<IPersistFile*>(owner);
    else if (IsEqualIID(riid, IID_IExtractImage))
        *object = static_cast<IExtractImage*>(static_cast<IExtractImage2*>(owner));
    else if (IsEqualIID(riid, IID_IExtractImage2))
        *object = static_cast<IExtractImage2*>(owner);
    else
        return E_NOINTERFACE;
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

ULONG CkqfxThumbExtractor::InnerUnknown::AddRef()
{
    return ++owner->refCount;
}

ULONG CkqfxThumbExtractor::InnerUnknown::Release()
{
    ULONG n = --owner->refCount;
    if (n == 0)
        delete owner;
    return n;
}

HRESULT CkqfxThumbExtractor::QueryInterface(REFIID riid, void** object)
{
    return controlling->QueryInterface(riid, object);
}

ULONG CkqfxThumbExtractor::AddRef()
{
    return controlling->AddRef();
}

ULONG CkqfxThumbExtractor::Release()
{
    return controlling->Release();
}

// ---- IPersistFile ----------------------------------------------------------

HRESULT CkqfxThumbExtractor::GetClassID(CLSID*)
{
    return E_NOTIMPL;
}

HRESULT CkqfxThumbExtractor::IsDirty()
{
    return E_NOTIMPL;
}

HRESULT CkqfxThumbExtractor::Load(LPCOLESTR fileName, DWORD)
{
    // A name that does not fit is refused, and the previous one is dropped
    // too, so that no later call works on a cut or stale path.
    path[0] = 0;
    if (!fileName)
        return E_INVALIDARG;
    size_t n = 0;
    while (n < KQ_THUMB_PATH_UNITS && fileName[n])
        n++;
    if (n >= KQ_THUMB_PATH_UNITS)
        return E_FAIL;
    std::memcpy(path, fileName, (n + 1) * sizeof(WCHAR));
    return S_OK;
}

HRESULT CkqfxThumbExtractor::Save(LPCOLESTR, BOOL)
{
    return E_NOTIMPL;
}

HRESULT CkqfxThumbExtractor::SaveCompleted(LPCOLESTR)
{
    return E_NOTIMPL;
}

HRESULT CkqfxThumbExtractor::GetCurFile(LPOLESTR*)
{
    return E_NOTIMPL;
}

// ---- IExtractImage2 --------------------------------------------------------

HRESULT CkqfxThumbExtractor::GetLocation(LPWSTR, DWORD, DWORD*, const SIZE* size, DWORD, DWORD* flags)
{
    if (!size)
        return E_INVALIDARG;
    requestedWidth = size->cx;
    requestedHeight = size->cy;
    if (flags && (*flags & IEIFLAG_ASYNC))
        return E_PENDING;
    return S_OK;
}

HRESULT CkqfxThumbExtractor::Extract(HBITMAP* bitmap)
{
    if (!bitmap)
        return E_POINTER;
    *bitmap = nullptr;
    try {
        return ExtractBitmap(bitmap);
    } catch (...) {
        // The objects of ExtractBitmap have released what they held.
        *bitmap = nullptr;
        return E_FAIL;
    }
}

HRESULT CkqfxThumbExtractor::ExtractBitmap(HBITMAP* bitmap)
{
    // No picture fits a size of nothing, so the file is not read for one.
    if (requestedWidth < 1 || requestedHeight < 1)
        return E_FAIL;

    KQRGBImage image;
    KQDIBSection dib;
    KQString file(path);

    if (!KQCheckFileAccess(path, 0))
        return E_FAIL;

    KQString extension;
    KQFileExtension(extension, file);
    extension.MakeUpper();
    bool read =
        extension.Equals(KQString(KQ_TEXT(".KQFX"))) ? ReadKqfxSnapshot(file, image) : ReadKqfSnapshot(file, image);
    if (!read)
        return E_FAIL;

    KQIntPair size = image.Size();
    if (size.x < 1 || size.y < 1)
        return E_FAIL;
    KQIntPair fitted = KQFitImageSize(size.x, size.y, requestedWidth, requestedHeight);
    int32 width = fitted.x, height = fitted.y;
    if (width < 1 || height < 1)
        return E_FAIL;
    if (!image.Scale(width, height) || !dib.CreateFromImage(image))
        return E_FAIL;

    HDC memoryDC = CreateCompatibleDC(nullptr);
    if (!memoryDC)
        return E_FAIL;
    const BITMAPINFO* info = dib.GetInfo();
    int dibWidth = info->bmiHeader.biWidth;
    int dibHeight = info->bmiHeader.biHeight;
    HBITMAP result = CreateBitmap(dibWidth, dibHeight, (UINT)GetDeviceCaps(memoryDC, PLANES),
                                  (UINT)GetDeviceCaps(memoryDC, BITSPIXEL), nullptr);
    if (!result) {
        DeleteDC(memoryDC);
        return E_FAIL;
    }
    HGDIOBJ previous = SelectObject(memoryDC, result);
    bool drawn = previous != nullptr;
    if (drawn) {
        PatBlt(memoryDC, 0, 0, dibWidth, dibHeight, WHITENESS);
        SetStretchBltMode(memoryDC, HALFTONE);
        SetBrushOrgEx(memoryDC, 0, 0, nullptr);
        drawn = StretchDIBits(memoryDC, 0, 0, dibWidth, dibHeight, 0, 0, dibWidth, dibHeight, dib.GetBits(), info,
                              DIB_RGB_COLORS, SRCCOPY) != 0;
        SelectObject(memoryDC, previous);
    }
    DeleteDC(memoryDC);
    if (!drawn) {
        // A bitmap that could not be selected or filled would be handed over
        // blank, as if it were the picture.
        DeleteObject(result);
        return E_FAIL;
    }
    *bitmap = result;
    return S_OK;
}

HRESULT CkqfxThumbExtractor::GetDateStamp(FILETIME* dateStamp)
{
    if (!dateStamp)
        return E_POINTER;
    if (!path[0])
        return E_FAIL;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return E_FAIL;
    FILETIME written;
    BOOL ok = GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    if (!ok)
        return E_FAIL;
    *dateStamp = written;
    return S_OK;
}
