// Root of the library's class tree and its smallest helpers.
#ifndef KQOOBJECT_H
#define KQOOBJECT_H

#include "KQOTypes.h"

#define KQ_OBJECT_ALIVE 12345678
#define KQ_OBJECT_DEAD 87654321

class KQObject {
public:
    KQObject();
    virtual ~KQObject();
    virtual void Hook1() {}
    virtual void Hook2() {}

    const KQChar* GetClassName() const { return className; }
    int32 GetMagic() const { return magic; }

protected:
    // Copies at most 15 characters of the literal; every constructor with a
    // name of its own calls it after its bases have run.
    void SetClassName(const char* literal);

private:
    KQChar className[16];
    int32 magic;
};

class KQRefCountClass : public KQObject {
public:
    KQRefCountClass();
    ~KQRefCountClass() override;

    int32 refCount;
    bool refFlag;
};

struct KQIntPair {
    int32 x;
    int32 y;
    KQIntPair() : x(0), y(0) {}
    KQIntPair(int32 x_, int32 y_) : x(x_), y(y_) {}
    bool IsZero() const { return x == 0 && y == 0; }
};

struct KQIntRect {
    int32 x0, y0, x1, y1;
    KQIntRect() : x0(0), y0(0), x1(0), y1(0) {}
    KQIntRect(int32 a, int32 b, int32 c, int32 d) : x0(a), y0(b), x1(c), y1(d) {}
};

struct KQMatrix4x4 {
    float m[16];
    explicit KQMatrix4x4(float value);
};

void* KQMalloc(int32 size);
void KQFree(void* p);
bool KQClamp(int32* value, int32 lo, int32 hi);

#endif
