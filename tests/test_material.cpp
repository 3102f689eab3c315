#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KQOMaterial.h"

namespace {

void ExpectColor(const KQColor& c, float r, float g, float b, float a)
{
    EXPECT_FLOAT_EQ(r, c.r);
    EXPECT_FLOAT_EQ(g, c.g);
    EXPECT_FLOAT_EQ(b, c.b);
    EXPECT_FLOAT_EQ(a, c.a);
}

bool SameColor(const KQColor& x, const KQColor& y)
{
    return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
}

void ExpectBackIsFront(const KQMaterial& m)
{
    EXPECT_TRUE(SameColor(m.frontAmbient, m.backAmbient));
    EXPECT_TRUE(SameColor(m.frontDiffuse, m.backDiffuse));
    EXPECT_TRUE(SameColor(m.frontSpecular, m.backSpecular));
    EXPECT_TRUE(SameColor(m.frontEmission, m.backEmission));
    EXPECT_EQ(m.frontShininess, m.backShininess);
    EXPECT_FALSE(m.differentFrontAndBack);
}

}  // namespace

TEST(Material, DefaultForm)
{
    KQMaterial m;
    ExpectColor(m.frontAmbient, 0.2f, 0.2f, 0.2f, 1.0f);
    ExpectColor(m.frontDiffuse, 0.8f, 0.8f, 0.8f, 1.0f);
    ExpectColor(m.frontSpecular, 0.0f, 0.0f, 0.0f, 1.0f);
    ExpectColor(m.frontEmission, 0.0f, 0.0f, 0.0f, 1.0f);
    EXPECT_EQ(0, m.frontShininess);
    ExpectBackIsFront(m);
}

TEST(Material, OneColourFormKeepsAlpha)
{
    KQMaterial m(KQColor(0.3f, 0.4f, 0.5f, 0.6f));
    ExpectColor(m.frontAmbient, 0.3f, 0.4f, 0.5f, 0.6f);
    ExpectColor(m.frontDiffuse, 0.3f, 0.4f, 0.5f, 0.6f);
    ExpectColor(m.frontSpecular, 0.0f, 0.0f, 0.0f, 1.0f);
    ExpectColor(m.frontEmission, 0.0f, 0.0f, 0.0f, 1.0f);
    EXPECT_EQ(0, m.frontShininess);
    ExpectBackIsFront(m);
}

TEST(Material, ShininessKeepsLowEightBits)
{
    KQColor c(0.1f, 0.2f, 0.3f, 0.4f);
    EXPECT_EQ(44, KQMaterial(c, c, c, 300).frontShininess);
    EXPECT_EQ(44, KQMaterial(c, c, c, 300).backShininess);
    EXPECT_EQ(128, KQMaterial(c, c, c, 128).frontShininess);
    EXPECT_EQ(255, KQMaterial(c, c, c, -1).frontShininess);
    EXPECT_EQ(0, KQMaterial(c, c, c, 256).frontShininess);

    KQMaterial m(KQColor(1, 0, 0, 0.5f), KQColor(0, 1, 0, 0.5f), KQColor(0, 0, 1, 0.5f), 7);
    ExpectColor(m.frontAmbient, 1, 0, 0, 0.5f);
    ExpectColor(m.frontDiffuse, 0, 1, 0, 0.5f);
    ExpectColor(m.frontSpecular, 0, 0, 1, 0.5f);
    ExpectColor(m.frontEmission, 0, 0, 0, 1);
    ExpectBackIsFront(m);
}

TEST(Material, SidesAreIndependentCopies)
{
    KQMaterial m(KQColor(0.3f, 0.4f, 0.5f, 0.6f));
    m.frontAmbient.r = 0.9f;
    m.frontDiffuse.a = 0.1f;
    m.frontShininess = 99;
    ExpectColor(m.backAmbient, 0.3f, 0.4f, 0.5f, 0.6f);
    ExpectColor(m.backDiffuse, 0.3f, 0.4f, 0.5f, 0.6f);
    EXPECT_EQ(0, m.backShininess);

    KQMaterial copy = KQ_MATERIAL_RED;
    copy.frontDiffuse.g = 1.0f;
    ExpectColor(copy.frontDiffuse, 1, 1, 0, 1);
    ExpectColor(copy.backDiffuse, 1, 0, 0, 1);
    ExpectColor(KQ_MATERIAL_RED.frontDiffuse, 1, 0, 0, 1);
}

TEST(Material, ColourConstants)
{
    struct Case {
        const KQMaterial* m;
        float r, g, b;
    };
    const Case cases[] = {
        {&KQ_MATERIAL_RED, 1, 0, 0},    {&KQ_MATERIAL_GREEN, 0, 1, 0},   {&KQ_MATERIAL_BLUE, 0, 0, 1},
        {&KQ_MATERIAL_YELLOW, 1, 1, 0}, {&KQ_MATERIAL_MAGENTA, 1, 0, 1}, {&KQ_MATERIAL_CYAN, 0, 1, 1},
        {&KQ_MATERIAL_WHITE, 1, 1, 1},
    };
    for (const Case& k : cases) {
        ExpectColor(k.m->frontAmbient, k.r, k.g, k.b, 1);
        ExpectColor(k.m->frontDiffuse, k.r, k.g, k.b, 1);
        ExpectColor(k.m->frontSpecular, 0, 0, 0, 1);
        EXPECT_EQ(0, k.m->frontShininess);
        ExpectBackIsFront(*k.m);
    }
    ExpectColor(KQ_MATERIAL_DEFAULT.frontAmbient, 0.2f, 0.2f, 0.2f, 1);
    ExpectColor(KQ_MATERIAL_DEFAULT.frontDiffuse, 0.8f, 0.8f, 0.8f, 1);
}

TEST(Material, Presets)
{
    const KQMaterial* presets[29] = {
        &KQ_MATERIAL_PRESET_01, &KQ_MATERIAL_PRESET_02, &KQ_MATERIAL_PRESET_03, &KQ_MATERIAL_PRESET_04,
        &KQ_MATERIAL_PRESET_05, &KQ_MATERIAL_PRESET_06, &KQ_MATERIAL_PRESET_07, &KQ_MATERIAL_PRESET_08,
        &KQ_MATERIAL_PRESET_09, &KQ_MATERIAL_PRESET_10, &KQ_MATERIAL_PRESET_11, &KQ_MATERIAL_PRESET_12,
        &KQ_MATERIAL_PRESET_13, &KQ_MATERIAL_PRESET_14, &KQ_MATERIAL_PRESET_15, &KQ_MATERIAL_PRESET_16,
        &KQ_MATERIAL_PRESET_17, &KQ_MATERIAL_PRESET_18, &KQ_MATERIAL_PRESET_19, &KQ_MATERIAL_PRESET_20,
        &KQ_MATERIAL_PRESET_21, &KQ_MATERIAL_PRESET_22, &KQ_MATERIAL_PRESET_23, &KQ_MATERIAL_PRESET_24,
        &KQ_MATERIAL_PRESET_25, &KQ_MATERIAL_PRESET_26, &KQ_MATERIAL_PRESET_27, &KQ_MATERIAL_PRESET_28,
        &KQ_MATERIAL_PRESET_29,
    };
    const int shininess[29] = {28, 26, 77, 77, 13, 51, 51, 83, 10, 51, 90, 77, 13, 38, 11,
                               77, 13, 32, 32, 32, 32, 32, 32, 10, 10, 10, 10, 10, 10};
    const float alpha[29] = {1,     1,    1, 1, 1, 1, 1, 1, 1, 1, 1, 0.55f, 0.95f, 0.82f, 0.92f,
                             0.55f, 0.8f, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,     1,     1};
    for (int i = 0; i < 29; ++i) {
        const KQMaterial& m = *presets[i];
        EXPECT_EQ(shininess[i], m.frontShininess) << "preset " << i + 1;
        EXPECT_EQ(alpha[i], m.frontAmbient.a) << "preset " << i + 1;
        EXPECT_EQ(alpha[i], m.frontDiffuse.a) << "preset " << i + 1;
        EXPECT_EQ(alpha[i], m.frontSpecular.a) << "preset " << i + 1;
        ExpectColor(m.frontEmission, 0, 0, 0, 1);
        ExpectBackIsFront(m);
    }
    // Exact values: each is the nearest float to the decimal.
    EXPECT_EQ(0.329412f, KQ_MATERIAL_PRESET_01.frontAmbient.r);
    EXPECT_EQ(0.992157f, KQ_MATERIAL_PRESET_01.frontSpecular.r);
    EXPECT_EQ(0.727811f, KQ_MATERIAL_PRESET_12.frontSpecular.g);
    EXPECT_EQ(0.55f, KQ_MATERIAL_PRESET_12.frontAmbient.a);
    EXPECT_EQ(1.0f, KQ_MATERIAL_PRESET_12.frontEmission.a);
    ExpectColor(KQ_MATERIAL_PRESET_19.frontDiffuse, 0, 0.509804f, 0.509804f, 1);
    ExpectColor(KQ_MATERIAL_PRESET_29.frontAmbient, 0.05f, 0.05f, 0, 1);
    ExpectColor(KQ_MATERIAL_PRESET_29.frontDiffuse, 0.5f, 0.5f, 0.4f, 1);
    ExpectColor(KQ_MATERIAL_PRESET_29.frontSpecular, 0.7f, 0.7f, 0.04f, 1);
}

TEST(SharedConstants, NotSetMarkers)
{
    EXPECT_EQ(-1, KQ_NOT_SET_PAIR.x);
    EXPECT_EQ(-1, KQ_NOT_SET_PAIR.y);
    for (int i = 0; i < 16; ++i) {
        uint32 bits = 0;
        memcpy(&bits, &KQ_NOT_SET_MATRIX.m[i], sizeof(bits));
        EXPECT_EQ(0x7F7FFFFFu, bits) << i;
    }
}

TEST(SharedConstants, IdentifiersAndNumberFormat)
{
    EXPECT_EQ(0, KQ_HEADER_ID_BASE);
    EXPECT_EQ(101, KQ_HEADER_ID_101);
    EXPECT_EQ(102, KQ_HEADER_ID_102);
    EXPECT_EQ(103, KQ_HEADER_ID_103);
    EXPECT_EQ(199, KQ_HEADER_ID_199);
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("%.5G")), std::basic_string<KQChar>(KQ_NUMBER_FORMAT.CStr()));
    EXPECT_EQ(4, KQ_NUMBER_FORMAT.GetLength());
}
