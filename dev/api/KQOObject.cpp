#include "KQOObject.h"

#include <cstdlib>

KQObject::KQObject() : magic(KQ_OBJECT_ALIVE)
{
    SetClassName("*KQObject");
}

KQObject::~KQObject()
{
    // Written through volatile: the compiler would otherwise drop a store to
    // an object whose lifetime ends here, and the marker must stay behind.
    *static_cast<volatile int32*>(&magic) = KQ_OBJECT_DEAD;
}

void KQObject::SetClassName(const char* literal)
{
    // The first character is copied untested: literals are never empty. In the
    // wide build each byte is widened sign-extended, like a plain char cast.
    int32 i = 0;
    do {
        className[i] = static_cast<KQChar>(static_cast<signed char>(literal[i]));
        ++i;
    } while (i < 15 && literal[i] != 0);
    className[i] = 0;
}

KQRefCountClass::KQRefCountClass() : refCount(0), refFlag(false)
{
    SetClassName("*KQRefCountClass");
}

KQRefCountClass::~KQRefCountClass() {}

KQMatrix4x4::KQMatrix4x4(float value)
{
    for (int i = 0; i < 16; ++i)
        m[i] = value;
}

void* KQMalloc(int32 size)
{
    if (size == 0)
        return nullptr;
    return malloc(static_cast<size_t>(size));
}

void KQFree(void* p)
{
    free(p);
}

bool KQClamp(int32* value, int32 lo, int32 hi)
{
    if (*value < lo) {
        *value = lo;
        return true;
    }
    if (*value > hi) {
        *value = hi;
        return true;
    }
    return false;
}
