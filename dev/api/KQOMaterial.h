// Surface materials and the library's material constants.
#ifndef KQOMATERIAL_H
#define KQOMATERIAL_H

#include "KQOConstants.h"
#include "KQOTypes.h"

// An RGBA colour with components from 0 to 1; alpha 1 is opaque.
struct KQColor {
    float r;
    float g;
    float b;
    float a;

    KQColor() : r(0.0f), g(0.0f), b(0.0f), a(1.0f) {}
    KQColor(float r_, float g_, float b_, float a_ = 1.0f) : r(r_), g(g_), b(b_), a(a_) {}
};

// A surface material with a front and a back side. Every constructor makes
// the back side a copy of the front side; a caller that wants them to differ
// changes the back fields and sets differentFrontAndBack.
struct KQMaterial {
    KQColor frontAmbient;
    KQColor frontDiffuse;
    KQColor frontSpecular;
    KQColor frontEmission;
    ubyte frontShininess;  // specular exponent, 0 to 128
    KQColor backAmbient;
    KQColor backDiffuse;
    KQColor backSpecular;
    KQColor backEmission;
    ubyte backShininess;
    bool differentFrontAndBack;

    // Ambient 0.2 grey, diffuse 0.8 grey, no specular or emission.
    KQMaterial();
    // Ambient and diffuse both the given colour.
    explicit KQMaterial(const KQColor& colour);
    // Only the low 8 bits of shininess are kept.
    KQMaterial(const KQColor& ambient, const KQColor& diffuse, const KQColor& specular, int32 shininess);

private:
    void SetFront(const KQColor& ambient, const KQColor& diffuse, const KQColor& specular, int32 shininess);
};

extern const KQMaterial KQ_MATERIAL_DEFAULT;
extern const KQMaterial KQ_MATERIAL_RED;
extern const KQMaterial KQ_MATERIAL_GREEN;
extern const KQMaterial KQ_MATERIAL_BLUE;
extern const KQMaterial KQ_MATERIAL_YELLOW;
extern const KQMaterial KQ_MATERIAL_MAGENTA;
extern const KQMaterial KQ_MATERIAL_CYAN;
extern const KQMaterial KQ_MATERIAL_WHITE;

// Numbered presets: metals, plastics, stones and rubbers of the viewer's
// material picker.
extern const KQMaterial KQ_MATERIAL_PRESET_01;
extern const KQMaterial KQ_MATERIAL_PRESET_02;
extern const KQMaterial KQ_MATERIAL_PRESET_03;
extern const KQMaterial KQ_MATERIAL_PRESET_04;
extern const KQMaterial KQ_MATERIAL_PRESET_05;
extern const KQMaterial KQ_MATERIAL_PRESET_06;
extern const KQMaterial KQ_MATERIAL_PRESET_07;
extern const KQMaterial KQ_MATERIAL_PRESET_08;
extern const KQMaterial KQ_MATERIAL_PRESET_09;
extern const KQMaterial KQ_MATERIAL_PRESET_10;
extern const KQMaterial KQ_MATERIAL_PRESET_11;
extern const KQMaterial KQ_MATERIAL_PRESET_12;
extern const KQMaterial KQ_MATERIAL_PRESET_13;
extern const KQMaterial KQ_MATERIAL_PRESET_14;
extern const KQMaterial KQ_MATERIAL_PRESET_15;
extern const KQMaterial KQ_MATERIAL_PRESET_16;
extern const KQMaterial KQ_MATERIAL_PRESET_17;
extern const KQMaterial KQ_MATERIAL_PRESET_18;
extern const KQMaterial KQ_MATERIAL_PRESET_19;
extern const KQMaterial KQ_MATERIAL_PRESET_20;
extern const KQMaterial KQ_MATERIAL_PRESET_21;
extern const KQMaterial KQ_MATERIAL_PRESET_22;
extern const KQMaterial KQ_MATERIAL_PRESET_23;
extern const KQMaterial KQ_MATERIAL_PRESET_24;
extern const KQMaterial KQ_MATERIAL_PRESET_25;
extern const KQMaterial KQ_MATERIAL_PRESET_26;
extern const KQMaterial KQ_MATERIAL_PRESET_27;
extern const KQMaterial KQ_MATERIAL_PRESET_28;
extern const KQMaterial KQ_MATERIAL_PRESET_29;

#endif
