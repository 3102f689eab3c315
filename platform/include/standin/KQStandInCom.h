// COM, shell and kernel names an in-process COM server and its host use:
// HRESULTs, GUIDs, the interfaces of a thumbnail extractor, file times, the
// module and resource calls and type-library registration.
//
// Wide text is the host's wchar_t. Resources of a module are whatever the
// module itself announces with KQStandInAddResource at load time, since a
// shared library here has no resource section. A module handle is the load
// address of the module.
#ifndef KQSTANDINCOM_H
#define KQSTANDINCOM_H

#include "KQStandInBase.h"
// SIZE and HBITMAP come from the GDI area.
#include "KQStandInGdi.h"

// ---------------------------------------------------------------------------
// Result codes.
typedef LONG HRESULT;
typedef HRESULT* LPHRESULT;

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define MAKE_HRESULT(sev, fac, code) ((HRESULT)(((uint32_t)(sev) << 31) | ((uint32_t)(fac) << 16) | ((uint32_t)(code))))
#define FACILITY_WIN32 7
#define HRESULT_FROM_WIN32(x)                                                                                          \
    ((HRESULT)(x) <= 0 ? (HRESULT)(x)                                                                                  \
                       : (HRESULT)((((uint32_t)(x)) & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_PENDING ((HRESULT)0x8000000AL)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define SELFREG_E_TYPELIB ((HRESULT)0x80040200L)
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)
#define TYPE_E_REGISTRYACCESS ((HRESULT)0x8002801CL)
#define TYPE_E_LIBNOTREGISTERED ((HRESULT)0x8002801DL)
#define TYPE_E_CANTLOADLIBRARY ((HRESULT)0x80029C4AL)

// ---------------------------------------------------------------------------
// Calling conventions and declaration helpers of COM.
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" type STDAPICALLTYPE

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef DWORD LCID;
typedef LONG SCODE;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
inline bool IsEqualIID(REFIID a, REFIID b)
{
    return IsEqualGUID(a, b);
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b)
{
    return IsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b)
{
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b)
{
    return !IsEqualGUID(a, b);
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" into buffer; returns the
// characters written with the NUL (39), or 0 when the buffer is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int count);
// Reads the braced form; E_INVALIDARG (the caller's GUID zeroed) otherwise.
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT IIDFromString(LPCOLESTR text, LPIID iid);

// ---------------------------------------------------------------------------
// File times.
#ifndef KQ_STANDIN_HAVE_FILETIME
#define KQ_STANDIN_HAVE_FILETIME
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
typedef FILETIME* PFILETIME;
typedef FILETIME* LPFILETIME;
#endif

// ---------------------------------------------------------------------------
// Interfaces.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() {}
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() {}
};

struct IPersist : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* classId) = 0;

protected:
    ~IPersist() {}
};

struct IPersistFile : public IPersist {
    virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
    virtual HRESULT STDMETHODCALLTYPE Load(LPCOLESTR fileName, DWORD mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE Save(LPCOLESTR fileName, BOOL remember) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* fileName) = 0;

protected:
    ~IPersistFile() {}
};

// Flags of IExtractImage::GetLocation.
#define IEIFLAG_ASYNC 0x0001
#define IEIFLAG_CACHE 0x0002
#define IEIFLAG_ASPECT 0x0004
#define IEIFLAG_OFFLINE 0x0008
#define IEIFLAG_GLEAM 0x0010
#define IEIFLAG_SCREEN 0x0020
#define IEIFLAG_ORIGSIZE 0x0040
#define IEIFLAG_NOSTAMP 0x0080
#define IEIFLAG_NOBORDER 0x0100
#define IEIFLAG_QUALITY 0x0200
#define IEIFLAG_REFRESH 0x0400

#define IEI_PRIORITY_MAX 0x7FFFFFFF
#define IEI_PRIORITY_MIN 0
#define IEIT_PRIORITY_NORMAL 0x10000000

struct IExtractImage : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetLocation(LPWSTR pathBuffer, DWORD bufferLength, DWORD* priority,
                                                  const SIZE* size, DWORD recommendedColorDepth, DWORD* flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Extract(HBITMAP* bitmap) = 0;

protected:
    ~IExtractImage() {}
};

struct IExtractImage2 : public IExtractImage {
    virtual HRESULT STDMETHODCALLTYPE GetDateStamp(FILETIME* dateStamp) = 0;

protected:
    ~IExtractImage2() {}
};

// A loaded type library; only handed from LoadTypeLibEx to RegisterTypeLib.
struct ITypeLib : public IUnknown {
protected:
    ~ITypeLib() {}
};

extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;
extern const IID IID_IPersist;
extern const IID IID_IPersistFile;
extern const IID IID_IExtractImage;
extern const IID IID_IExtractImage2;
extern const IID IID_IDispatch;
extern const IID IID_ITypeLib;

// ---------------------------------------------------------------------------
// Object creation by class: the in-process server registered under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 is loaded and asked for
// its class factory. Loaded servers stay loaded until CoUninitialize.
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_ALL 0x17
#define COINIT_APARTMENTTHREADED 0x2
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8L)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9L)

HRESULT CoInitialize(LPVOID reserved);
HRESULT CoInitializeEx(LPVOID reserved, DWORD flags);
void CoUninitialize();
HRESULT CoGetClassObject(REFCLSID classId, DWORD context, LPVOID serverInfo, REFIID riid, LPVOID* object);
HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID riid, LPVOID* object);

// ---------------------------------------------------------------------------
// Interlocked counters (the module's lock count).
LONG InterlockedIncrement(LONG volatile* value);
LONG InterlockedDecrement(LONG volatile* value);

// ---------------------------------------------------------------------------
// Kernel files: only what a date stamp needs. Share modes are honoured
// between the handles of this process.
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime, LPFILETIME lastWriteTime);
BOOL CloseHandle(HANDLE object);
// GetLastError and SetLastError are declared with the text area.

// ---------------------------------------------------------------------------
// Modules and their entry point.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

BOOL DisableThreadLibraryCalls(HMODULE module);
// A null module names the program itself.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// The module that holds the given address (the load address of the program
// or shared library that contains it).
HMODULE KQStandInModuleOf(const void* address);

// ---------------------------------------------------------------------------
// Resources.
typedef struct KQStandInResource* HRSRC;
typedef void* HGLOBAL;
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)

// Announces a resource of the module holding `anchor`. The data is not
// copied and must stay for the life of the module.
void KQStandInAddResource(const void* anchor, LPCWSTR type, WORD id, const void* data, DWORD size);

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// ---------------------------------------------------------------------------
// Type libraries. The TYPELIB resource of a module here is the text of its
// interface definition; registration writes what the system's registration
// writes: TypeLib\{libid}\<version> and Interface\{iid} of each dual or
// automation interface.
enum REGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER = 1, REGKIND_NONE = 2 };
enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

// Loads the type library of the module at `file` (a loaded module's path,
// optionally followed by "\<resource id>").
HRESULT LoadTypeLibEx(LPCOLESTR file, REGKIND kind, ITypeLib** typeLib);
HRESULT RegisterTypeLib(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir);
HRESULT UnRegisterTypeLib(REFGUID libId, WORD majorVersion, WORD minorVersion, LCID lcid, SYSKIND sysKind);

#endif
