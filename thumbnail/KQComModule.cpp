#include "KQComModule.h"

#include <new>

#include "KQThumbIds.h"
#include "kqfxThumbExtractor.h"

KQComModule kqModule;

void KQComModule::Init(HINSTANCE moduleInstance, const GUID* moduleLibId)
{
    instance = moduleInstance;
    libId = moduleLibId;
}

void KQComModule::Term()
{
    instance = nullptr;
}

bool KQComModule::GetModulePath(WCHAR* buffer, DWORD size) const
{
    if (!buffer || size == 0)
        return false;
    buffer[0] = 0;
    DWORD n = GetModuleFileNameW((HMODULE)instance, buffer, size);
    // A result equal to the size means the path was cut.
    if (n == 0 || n >= size) {
        buffer[0] = 0;
        return false;
    }
    return true;
}

namespace {

// Lives as long as the module. Its own count is kept only for the answers
// of AddRef and Release; what matters is the module lock that each outside
// reference holds, so that the DLL is not unloaded under a held factory.
class KQExtractorClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    STDMETHODIMP_(ULONG) AddRef() override
    {
        kqModule.Lock();
        return (ULONG)InterlockedIncrement(&refs);
    }

    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&refs);
        kqModule.Unlock();
        return (ULONG)n;
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        return CkqfxThumbExtractor::CreateInstance(outer, riid, object);
    }

    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            kqModule.Lock();
        else
            kqModule.Unlock();
        return S_OK;
    }

private:
    LONG volatile refs = 0;
};

}  // namespace

HRESULT KQComModule::GetClassObject(REFCLSID classId, REFIID interfaceId, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(classId, CLSID_kqfxThumbExtractor))
        return CLASS_E_CLASSNOTAVAILABLE;
    static KQExtractorClassFactory factory;
    return factory.QueryInterface(interfaceId, object);
}
