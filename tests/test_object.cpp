#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "KQOObject.h"
#include "test_text_support.h"

TEST(KQObject, ClassNamesAreCutToFifteenCharacters)
{
    KQObject o;
    EXPECT_EQ(N(o.GetClassName()), "*KQObject");
    KQRefCountClass r;
    EXPECT_EQ(N(r.GetClassName()), "*KQRefCountClas");
    EXPECT_EQ(r.refCount, 0);
    EXPECT_FALSE(r.refFlag);
}

TEST(KQObject, MagicMarksLifeAndDeath)
{
    alignas(KQRefCountClass) unsigned char storage[sizeof(KQRefCountClass)];
    KQRefCountClass* r = new (storage) KQRefCountClass;
    EXPECT_EQ(r->GetMagic(), KQ_OBJECT_ALIVE);
    r->~KQRefCountClass();
    int32 magic;
    // The marker stays in the released storage for whoever inspects it.
    std::memcpy(&magic, storage + sizeof(void*) + sizeof(KQChar) * 16, sizeof magic);
    EXPECT_EQ(magic, KQ_OBJECT_DEAD);
}

TEST(KQHelpers, ClampTestsTheLowerBoundFirst)
{
    int32 v = 2;
    EXPECT_TRUE(KQClamp(&v, 4, 1024));
    EXPECT_EQ(v, 4);
    v = 5000;
    EXPECT_TRUE(KQClamp(&v, 4, 1024));
    EXPECT_EQ(v, 1024);
    v = 4;
    EXPECT_FALSE(KQClamp(&v, 4, 1024));
    v = 1024;
    EXPECT_FALSE(KQClamp(&v, 4, 1024));
    v = 7;  // lo > hi: anything not below lo ends at hi
    EXPECT_TRUE(KQClamp(&v, 5, 3));
    EXPECT_EQ(v, 3);
}

TEST(KQHelpers, MallocOfZeroGivesNull)
{
    EXPECT_EQ(KQMalloc(0), nullptr);
    KQFree(nullptr);
    void* p = KQMalloc(16);
    EXPECT_NE(p, nullptr);
    KQFree(p);
    EXPECT_FALSE(KQIntPair(0, 5).IsZero());
    EXPECT_TRUE(KQIntPair(0, 0).IsZero());
    KQMatrix4x4 m(3.4028235e38f);
    uint32 bits;
    std::memcpy(&bits, &m.m[15], 4);
    EXPECT_EQ(bits, 0x7F7FFFFFu);
}
