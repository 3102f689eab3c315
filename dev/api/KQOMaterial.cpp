#include "KQOMaterial.h"

KQMaterial::KQMaterial()
{
    SetFront(KQColor(0.2f, 0.2f, 0.2f, 1.0f), KQColor(0.8f, 0.8f, 0.8f, 1.0f), KQColor(0.0f, 0.0f, 0.0f, 1.0f), 0);
}

KQMaterial::KQMaterial(const KQColor& colour)
{
    SetFront(colour, colour, KQColor(0.0f, 0.0f, 0.0f, 1.0f), 0);
}

KQMaterial::KQMaterial(const KQColor& ambient, const KQColor& diffuse, const KQColor& specular, int32 shininess)
{
    SetFront(ambient, diffuse, specular, shininess);
}

void KQMaterial::SetFront(const KQColor& ambient, const KQColor& diffuse, const KQColor& specular, int32 shininess)
{
    frontAmbient = ambient;
    frontDiffuse = diffuse;
    frontSpecular = specular;
    frontEmission = KQColor(0.0f, 0.0f, 0.0f, 1.0f);
    // The field is one byte wide: only the low 8 bits of the argument are kept.
    frontShininess = static_cast<ubyte>(shininess & 0xFF);
    backAmbient = frontAmbient;
    backDiffuse = frontDiffuse;
    backSpecular = frontSpecular;
    backEmission = frontEmission;
    backShininess = frontShininess;
    differentFrontAndBack = false;
}

extern const int32 KQ_HEADER_ID_101 = KQ_HEADER_ID_BASE + 101;
extern const int32 KQ_HEADER_ID_102 = KQ_HEADER_ID_BASE + 102;
extern const int32 KQ_HEADER_ID_103 = KQ_HEADER_ID_BASE + 103;
extern const int32 KQ_HEADER_ID_199 = KQ_HEADER_ID_BASE + 199;

extern const KQString KQ_NUMBER_FORMAT(KQ_TEXT("%.5G"));

const KQMaterial KQ_MATERIAL_DEFAULT;
const KQMaterial KQ_MATERIAL_RED(KQColor(1.0f, 0.0f, 0.0f, 1.0f));
const KQMaterial KQ_MATERIAL_GREEN(KQColor(0.0f, 1.0f, 0.0f, 1.0f));
const KQMaterial KQ_MATERIAL_BLUE(KQColor(0.0f, 0.0f, 1.0f, 1.0f));
const KQMaterial KQ_MATERIAL_YELLOW(KQColor(1.0f, 1.0f, 0.0f, 1.0f));
const KQMaterial KQ_MATERIAL_MAGENTA(KQColor(1.0f, 0.0f, 1.0f, 1.0f));
const KQMaterial KQ_MATERIAL_CYAN(KQColor(0.0f, 1.0f, 1.0f, 1.0f));
const KQMaterial KQ_MATERIAL_WHITE(KQColor(1.0f, 1.0f, 1.0f, 1.0f));

// Presets: ambient, diffuse and specular colours share the preset's alpha;
// the last argument is the shininess. Kept as a table, one preset to four
// lines, by the formatter being off here.
// clang-format off
const KQMaterial KQ_MATERIAL_PRESET_01(
    KQColor(0.329412f, 0.223529f, 0.027451f, 1.0f),
    KQColor(0.780392f, 0.568627f, 0.113725f, 1.0f),
    KQColor(0.992157f, 0.941176f, 0.807843f, 1.0f), 28);
const KQMaterial KQ_MATERIAL_PRESET_02(
    KQColor(0.2125f, 0.1275f, 0.054f, 1.0f),
    KQColor(0.714f, 0.4284f, 0.18144f, 1.0f),
    KQColor(0.393548f, 0.271906f, 0.166721f, 1.0f), 26);
const KQMaterial KQ_MATERIAL_PRESET_03(
    KQColor(0.25f, 0.148f, 0.06475f, 1.0f),
    KQColor(0.4f, 0.2368f, 0.1036f, 1.0f),
    KQColor(0.774597f, 0.458561f, 0.200621f, 1.0f), 77);
const KQMaterial KQ_MATERIAL_PRESET_04(
    KQColor(0.25f, 0.25f, 0.25f, 1.0f),
    KQColor(0.4f, 0.4f, 0.4f, 1.0f),
    KQColor(0.774597f, 0.774597f, 0.774597f, 1.0f), 77);
const KQMaterial KQ_MATERIAL_PRESET_05(
    KQColor(0.19125f, 0.0735f, 0.0225f, 1.0f),
    KQColor(0.7038f, 0.27048f, 0.0828f, 1.0f),
    KQColor(0.256777f, 0.137622f, 0.086014f, 1.0f), 13);
const KQMaterial KQ_MATERIAL_PRESET_06(
    KQColor(0.2295f, 0.08825f, 0.0275f, 1.0f),
    KQColor(0.5508f, 0.2118f, 0.066f, 1.0f),
    KQColor(0.580594f, 0.223257f, 0.06957f, 1.0f), 51);
const KQMaterial KQ_MATERIAL_PRESET_07(
    KQColor(0.24725f, 0.1995f, 0.0745f, 1.0f),
    KQColor(0.75164f, 0.60648f, 0.22648f, 1.0f),
    KQColor(0.628281f, 0.555802f, 0.366065f, 1.0f), 51);
const KQMaterial KQ_MATERIAL_PRESET_08(
    KQColor(0.24725f, 0.2245f, 0.0645f, 1.0f),
    KQColor(0.34615f, 0.3143f, 0.0903f, 1.0f),
    KQColor(0.797357f, 0.723991f, 0.208006f, 1.0f), 83);
const KQMaterial KQ_MATERIAL_PRESET_09(
    KQColor(0.105882f, 0.058824f, 0.113725f, 1.0f),
    KQColor(0.427451f, 0.470588f, 0.541176f, 1.0f),
    KQColor(0.333333f, 0.333333f, 0.521569f, 1.0f), 10);
const KQMaterial KQ_MATERIAL_PRESET_10(
    KQColor(0.19225f, 0.19225f, 0.19225f, 1.0f),
    KQColor(0.50754f, 0.50754f, 0.50754f, 1.0f),
    KQColor(0.508273f, 0.508273f, 0.508273f, 1.0f), 51);
const KQMaterial KQ_MATERIAL_PRESET_11(
    KQColor(0.23125f, 0.23125f, 0.23125f, 1.0f),
    KQColor(0.2775f, 0.2775f, 0.2775f, 1.0f),
    KQColor(0.773911f, 0.773911f, 0.773911f, 1.0f), 90);
const KQMaterial KQ_MATERIAL_PRESET_12(
    KQColor(0.0215f, 0.1745f, 0.0215f, 0.55f),
    KQColor(0.07568f, 0.61424f, 0.07568f, 0.55f),
    KQColor(0.633f, 0.727811f, 0.633f, 0.55f), 77);
const KQMaterial KQ_MATERIAL_PRESET_13(
    KQColor(0.135f, 0.2225f, 0.1575f, 0.95f),
    KQColor(0.54f, 0.89f, 0.63f, 0.95f),
    KQColor(0.316228f, 0.316228f, 0.316228f, 0.95f), 13);
const KQMaterial KQ_MATERIAL_PRESET_14(
    KQColor(0.05375f, 0.05f, 0.06625f, 0.82f),
    KQColor(0.18275f, 0.17f, 0.22525f, 0.82f),
    KQColor(0.332741f, 0.328634f, 0.346435f, 0.82f), 38);
const KQMaterial KQ_MATERIAL_PRESET_15(
    KQColor(0.25f, 0.20725f, 0.20725f, 0.92f),
    KQColor(1.0f, 0.829f, 0.829f, 0.92f),
    KQColor(0.296648f, 0.296648f, 0.296648f, 0.92f), 11);
const KQMaterial KQ_MATERIAL_PRESET_16(
    KQColor(0.1745f, 0.01175f, 0.01175f, 0.55f),
    KQColor(0.61424f, 0.04136f, 0.04136f, 0.55f),
    KQColor(0.727811f, 0.626959f, 0.626959f, 0.55f), 77);
const KQMaterial KQ_MATERIAL_PRESET_17(
    KQColor(0.1f, 0.18725f, 0.1745f, 0.8f),
    KQColor(0.396f, 0.74151f, 0.69102f, 0.8f),
    KQColor(0.297254f, 0.30829f, 0.306678f, 0.8f), 13);
const KQMaterial KQ_MATERIAL_PRESET_18(
    KQColor(0.0f, 0.0f, 0.0f, 1.0f),
    KQColor(0.01f, 0.01f, 0.01f, 1.0f),
    KQColor(0.5f, 0.5f, 0.5f, 1.0f), 32);
const KQMaterial KQ_MATERIAL_PRESET_19(
    KQColor(0.0f, 0.1f, 0.06f, 1.0f),
    KQColor(0.0f, 0.509804f, 0.509804f, 1.0f),
    KQColor(0.501961f, 0.501961f, 0.501961f, 1.0f), 32);
const KQMaterial KQ_MATERIAL_PRESET_20(
    KQColor(0.0f, 0.0f, 0.0f, 1.0f),
    KQColor(0.1f, 0.35f, 0.1f, 1.0f),
    KQColor(0.45f, 0.55f, 0.45f, 1.0f), 32);
const KQMaterial KQ_MATERIAL_PRESET_21(
    KQColor(0.0f, 0.0f, 0.0f, 1.0f),
    KQColor(0.5f, 0.0f, 0.0f, 1.0f),
    KQColor(0.7f, 0.6f, 0.6f, 1.0f), 32);
const KQMaterial KQ_MATERIAL_PRESET_22(
    KQColor(0.0f, 0.0f, 0.0f, 1.0f),
    KQColor(0.55f, 0.55f, 0.55f, 1.0f),
    KQColor(0.7f, 0.7f, 0.7f, 1.0f), 32);
const KQMaterial KQ_MATERIAL_PRESET_23(
    KQColor(0.0f, 0.0f, 0.0f, 1.0f),
    KQColor(0.5f, 0.5f, 0.0f, 1.0f),
    KQColor(0.6f, 0.6f, 0.5f, 1.0f), 32);
const KQMaterial KQ_MATERIAL_PRESET_24(
    KQColor(0.02f, 0.02f, 0.02f, 1.0f),
    KQColor(0.01f, 0.01f, 0.01f, 1.0f),
    KQColor(0.4f, 0.4f, 0.4f, 1.0f), 10);
const KQMaterial KQ_MATERIAL_PRESET_25(
    KQColor(0.0f, 0.05f, 0.05f, 1.0f),
    KQColor(0.4f, 0.5f, 0.5f, 1.0f),
    KQColor(0.04f, 0.7f, 0.7f, 1.0f), 10);
const KQMaterial KQ_MATERIAL_PRESET_26(
    KQColor(0.0f, 0.05f, 0.0f, 1.0f),
    KQColor(0.4f, 0.5f, 0.4f, 1.0f),
    KQColor(0.04f, 0.7f, 0.04f, 1.0f), 10);
const KQMaterial KQ_MATERIAL_PRESET_27(
    KQColor(0.05f, 0.0f, 0.0f, 1.0f),
    KQColor(0.5f, 0.4f, 0.4f, 1.0f),
    KQColor(0.7f, 0.04f, 0.04f, 1.0f), 10);
const KQMaterial KQ_MATERIAL_PRESET_28(
    KQColor(0.05f, 0.05f, 0.05f, 1.0f),
    KQColor(0.5f, 0.5f, 0.5f, 1.0f),
    KQColor(0.7f, 0.7f, 0.7f, 1.0f), 10);
const KQMaterial KQ_MATERIAL_PRESET_29(
    KQColor(0.05f, 0.05f, 0.0f, 1.0f),
    KQColor(0.5f, 0.5f, 0.4f, 1.0f),
    KQColor(0.7f, 0.7f, 0.04f, 1.0f), 10);
// clang-format on
