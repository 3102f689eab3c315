// The in-process server's module: its instance handle, the type library it
// registers and the lock count that decides whether the DLL may unload.
// Every live object and every outside reference to the class factory, as
// well as each IClassFactory::LockServer(TRUE), holds one lock.
#ifndef KQCOMMODULE_H
#define KQCOMMODULE_H

#include "KQCom.h"

class KQComModule {
public:
    void Init(HINSTANCE instance, const GUID* libId);
    void Term();

    LONG Lock() { return InterlockedIncrement(&lockCount); }
    LONG Unlock() { return InterlockedDecrement(&lockCount); }
    LONG GetLockCount() const { return lockCount; }

    HINSTANCE GetInstance() const { return instance; }
    const GUID* GetLibId() const { return libId; }

    // The module's full path; false when it cannot be had or does not fit.
    bool GetModulePath(WCHAR* buffer, DWORD size) const;

    // The class factory of the extractor class: one object for the life of
    // the module, made on the first request.
    static HRESULT GetClassObject(REFCLSID classId, REFIID interfaceId, void** object);

private:
    HINSTANCE instance = nullptr;
    const GUID* libId = nullptr;
    LONG volatile lockCount = 0;
};

extern KQComModule kqModule;

#endif
