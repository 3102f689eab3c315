#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "KQOAPIProperties.h"

namespace {

#ifdef KQ_UNICODE
const int32 kRecordCount = 599;
#else
const int32 kRecordCount = 589;
#endif

std::basic_string<KQChar> Str(const KQString& s)
{
    return std::basic_string<KQChar>(s.CStr());
}

const KQAPIProperty* FindById(const KQAPIProperties& catalogue, int32 id)
{
    for (int32 i = 0; i < catalogue.records.count; ++i)
        if (catalogue.records.data[i]->id == id)
            return catalogue.records.data[i];
    return nullptr;
}

const KQAPIProperty* FindByName(const KQAPIProperties& catalogue, const KQChar* name)
{
    KQString wanted(name);
    uint32 hash = KQHashString(wanted);
    for (int32 i = 0; i < catalogue.records.count; ++i) {
        const KQAPIProperty* p = catalogue.records.data[i];
        if (p->nameHash == hash && p->name.Equals(wanted))
            return p;
    }
    return nullptr;
}

// Exposes the building steps so that single records can be added and typed.
class OpenCatalogue : public KQAPIProperties {
public:
    using KQAPIProperties::AddProperty;
    using KQAPIProperties::ResolveTypes;
    const KQAPIProperty* Last() const { return records.data[records.count - 1]; }
};

}  // namespace

TEST(Catalogue, GlobalIsBuiltBeforeMain)
{
    EXPECT_EQ(kRecordCount, KQ_API_PROPERTIES.records.count);
    EXPECT_EQ(KQ_OBJECT_ALIVE, KQ_API_PROPERTIES.GetMagic());
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("KQAPIProperties")), KQ_API_PROPERTIES.GetClassName());
}

TEST(Catalogue, IdsAndNamesAreUniqueAndInRange)
{
    std::set<int32> ids;
    std::set<std::basic_string<KQChar>> names;
    for (int32 i = 0; i < KQ_API_PROPERTIES.records.count; ++i) {
        const KQAPIProperty* p = KQ_API_PROPERTIES.records.data[i];
        ASSERT_NE(nullptr, p);
        EXPECT_GE(p->id, 1001);
        EXPECT_LE(p->id, 23030);
        EXPECT_TRUE(ids.insert(p->id).second) << "duplicate id " << p->id;
        EXPECT_TRUE(names.insert(Str(p->name)).second) << "duplicate name at id " << p->id;
        EXPECT_FALSE(p->description.IsEmpty()) << "id " << p->id;
    }
}

TEST(Catalogue, FirstAndLastRecords)
{
    const KQAPIProperty* first = KQ_API_PROPERTIES.records.data[0];
    EXPECT_EQ(1001, first->id);
    EXPECT_EQ(Str(KQString(KQ_TEXT("KQ_PS_VS_VIEW_TITLE"))), Str(first->name));
    EXPECT_EQ(6, first->type);
    EXPECT_TRUE(first->defaultValue.IsEmpty());
    EXPECT_EQ(
        std::basic_string<KQChar>(KQ_TEXT("The name of the view. Can be shown in the 3D view and in the info box.")),
        Str(first->description));

    const KQAPIProperty* third = KQ_API_PROPERTIES.records.data[2];
    EXPECT_EQ(1009, third->id);
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("KQ_PB_VS_SHOW_DESCRIPTION")), Str(third->name));
    EXPECT_EQ(3, third->type);

    const KQAPIProperty* last = KQ_API_PROPERTIES.records.data[kRecordCount - 1];
    EXPECT_EQ(22007, last->id);
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("KQ_PC_EC_POINT_MARKER_COLOR")), Str(last->name));
    EXPECT_EQ(7, last->type);
}

TEST(Catalogue, FullTextsOfKnownRecords)
{
    struct Row {
        int32 id;
        const KQChar* name;
        const KQChar* def;
        const KQChar* desc;
    };
    const Row rows[] = {
        {1001, KQ_TEXT("KQ_PS_VS_VIEW_TITLE"), KQ_TEXT(""),
         KQ_TEXT("The name of the view. Can be shown in the 3D view and in the info box.")},
        {1002, KQ_TEXT("KQ_PB_VS_SHOW_TITLE"), KQ_TEXT("KQ_FALSE"),
         KQ_TEXT("Show/hide the view title positioned in the top left corner of the view.")},
        {1003, KQ_TEXT("KQ_PB_VS_PERSPECTIVE_PROJECTION"), KQ_TEXT("KQ_TRUE"),
         KQ_TEXT("Perspective (KQ_TRUE) or parallel (KQ_FALSE) projection.")},
        {1008, KQ_TEXT("KQ_PV_VS_MODEL_SCALE_FACTORS"), KQ_TEXT("<1,1,1>"),
         KQ_TEXT("Scaling factors for the model. Default disabled (1,1,1). Only visual (transformation matrix); does "
                 "not change the node coordinates")},
        {1064, KQ_TEXT("KQ_PC_VS_DS_MESH_COLOR"), KQ_TEXT("White"), KQ_TEXT("Drawing color of mesh lines")},
        {1098, KQ_TEXT("KQ_PC_VS_AX_X_AXIS_COLOR"), KQ_TEXT("<255,75,75>"),
         KQ_TEXT("Axis cross: The color of the X axis")},
        {1402, KQ_TEXT("KQ_PG_VS_LO_LOGO_IMAGE"), KQ_TEXT("NULL"),
         KQ_TEXT("A pointer to the KQRGBImage storing the view logo")},
        {4001, KQ_TEXT("KQ_PM_NS_NAVIGATION_MATRIX"), KQ_TEXT("Identity"),
         KQ_TEXT("The navigation matrix for this view (4x4 matrix). Use the Eye, View Ref Point and Up Vector to "
                 "specify this in an easier way.")},
        {9010, KQ_TEXT("KQ_PI_CL_LEGEND_MODE"), KQ_TEXT("1 (interpolated)"),
         KQ_TEXT("Mode of the legend. Legal values:<br>0: Levels mode. The legend has given number of levels with a "
                 "specified color within that level (normal mode)1: The legend is interpolated between each specified "
                 "color (old Trevak 6.x style)")},
        {12007, KQ_TEXT("KQ_PR_FG_FRINGE_RESULT_ID"), KQ_TEXT("-1"),
         KQ_TEXT("ID of the result used for fringes (filled contours)")},
        {18007, KQ_TEXT("KQ_PP_CU_PART_IFS_PTR"), KQ_TEXT("NULL"),
         KQ_TEXT("A pointer to the IFS surface. KQF: Integer storing the BlockID of the KQFIndexedFaceSetBlock.")},
        {19004, KQ_TEXT("KQ_PI_KQ_POSITION_BASE"), KQ_TEXT("2 (TOP_RIGTH)"),
         KQ_TEXT("The position of the view text item. The position can be any of the following values: 0:TOP_LEFT, "
                 "1:TOP_CENTER, 2: TOP_RIGTH, 3: MIDDLE_LEFT, 4: CENTER, 5: MIDDLE_RIGHT, 6: BOTTOM_LEFT, "
                 "7: BOTTOM_CENTER, 8: BOTTOM_RIGHT")},
        {19008, KQ_TEXT("KQ_PT_KQ_BACKGROUND_COLOR"), KQ_TEXT("<1,0,1,1>"),
         KQ_TEXT("The RGBA color of the background. The three first values are red, green, blue <0..1>. The fourth "
                 "is the alpha (transparency) value <0..1>")},
        {20016, KQ_TEXT("KQ_PA_AN_NOTE_ANC_PART_ITEM"), KQ_TEXT("<-1,-1,-1,-1,-1,0>"),
         KQ_TEXT("<Model ID, State ID, Geometry ID, Part ID, Item Index, Item sub index (only for ELEMENT_NODE)>. "
                 "Specify which item to get position from (not applicable to 2D/3D coordinate)")},
        {21010, KQ_TEXT("KQ_PI_EP_BACKGROUND_ALPHA"), KQ_TEXT("170"),
         KQ_TEXT("The transparency of the 2D plot background")},
        {23001, KQ_TEXT("KQ_PB_NC_ENABLE"), KQ_TEXT("KQ_FALSE"),
         KQ_TEXT("Enable/disable the use of the navigation cube. If enabled the cube will be drawn and can be used for "
                 "navigation.")},
#ifdef KQ_UNICODE
        {1408, KQ_TEXT("KQ_PF_VS_LO_LOGO_ALPHA"), KQ_TEXT("1.0"),
         KQ_TEXT("The transparency factor used when drawing the logo.")},
        {9033, KQ_TEXT("KQ_PI_CL_BELOW_ALPHA"), KQ_TEXT("255"),
         KQ_TEXT("The alpha value of the below color. 255 = opaque.")},
#endif
    };
    for (const Row& r : rows) {
        const KQAPIProperty* p = FindById(KQ_API_PROPERTIES, r.id);
        ASSERT_NE(nullptr, p) << r.id;
        EXPECT_EQ(std::basic_string<KQChar>(r.name), Str(p->name)) << r.id;
        EXPECT_EQ(std::basic_string<KQChar>(r.def), Str(p->defaultValue)) << r.id;
        EXPECT_EQ(std::basic_string<KQChar>(r.desc), Str(p->description)) << r.id;
    }
}

TEST(Catalogue, LookupByNameHash)
{
    const KQAPIProperty* p = FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PB_NC_ENABLE"));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(23001, p->id);
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("KQ_FALSE")), Str(p->defaultValue));
    // The names are ASCII, so both builds carry the same hashes.
    EXPECT_EQ(0x4bf16487u, p->nameHash);
    EXPECT_EQ(0x061691c7u, KQ_API_PROPERTIES.records.data[0]->nameHash);

    EXPECT_EQ(nullptr, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PB_NC_ENABLED")));
    for (int32 i = 0; i < KQ_API_PROPERTIES.records.count; ++i) {
        const KQAPIProperty* r = KQ_API_PROPERTIES.records.data[i];
        EXPECT_EQ(KQHashString(r->name), r->nameHash) << r->id;
    }
}

TEST(Catalogue, WideOnlyRecords)
{
    const int32 wideOnly[] = {1408, 6015, 9033, 9034, 9035, 9509, 9510, 13036, 13037, 20013};
    for (int32 id : wideOnly) {
#ifdef KQ_UNICODE
        EXPECT_NE(nullptr, FindById(KQ_API_PROPERTIES, id)) << id;
#else
        EXPECT_EQ(nullptr, FindById(KQ_API_PROPERTIES, id)) << id;
#endif
    }
#ifdef KQ_UNICODE
    const KQAPIProperty* alpha = FindById(KQ_API_PROPERTIES, 9033);
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("KQ_PI_CL_BELOW_ALPHA")), Str(alpha->name));
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("255")), Str(alpha->defaultValue));
    EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("The alpha value of the below color. 255 = opaque.")),
              Str(alpha->description));
    // The extra rows sit in their groups, not at the end: 1408 follows 1407.
    for (int32 i = 0; i + 1 < KQ_API_PROPERTIES.records.count; ++i) {
        if (KQ_API_PROPERTIES.records.data[i]->id == 1407) {
            EXPECT_EQ(1408, KQ_API_PROPERTIES.records.data[i + 1]->id);
        }
    }
#endif
}

TEST(Catalogue, CountsByTypeAndGroup)
{
    std::map<int32, int32> byType;
    std::map<std::basic_string<KQChar>, int32> byGroup;
    std::basic_string<KQChar> order;
    for (int32 i = 0; i < KQ_API_PROPERTIES.records.count; ++i) {
        const KQAPIProperty* p = KQ_API_PROPERTIES.records.data[i];
        ++byType[p->type];
        std::basic_string<KQChar> group = Str(p->name).substr(6, 2);
        if (byGroup[group]++ == 0)
            order += group + KQ_TEXT(" ");
    }
#ifdef KQ_UNICODE
    const std::map<int32, int32> types = {{1, 126}, {2, 114}, {3, 183}, {4, 31}, {5, 2}, {6, 42},
                                          {7, 65},  {8, 18},  {9, 9},   {11, 1}, {12, 8}};
#else
    const std::map<int32, int32> types = {{1, 121}, {2, 113}, {3, 179}, {4, 31}, {5, 2}, {6, 42},
                                          {7, 65},  {8, 18},  {9, 9},   {11, 1}, {12, 8}};
#endif
    EXPECT_EQ(types, byType);
    EXPECT_EQ(std::basic_string<KQChar>(
                  KQ_TEXT("VS BG NC AC AF NS LT FS SA VA CL LL CS SE FG CP CU IS PT TA TM PA MI KQ AN EP EC ")),
              order);
    EXPECT_EQ(30, byGroup[KQ_TEXT("NC")]);
    EXPECT_EQ(75, byGroup[KQ_TEXT("PA")]);
#ifdef KQ_UNICODE
    EXPECT_EQ(107, byGroup[KQ_TEXT("VS")]);
    EXPECT_EQ(33, byGroup[KQ_TEXT("CL")]);
    EXPECT_EQ(65, byGroup[KQ_TEXT("AN")]);
#else
    EXPECT_EQ(106, byGroup[KQ_TEXT("VS")]);
    EXPECT_EQ(30, byGroup[KQ_TEXT("CL")]);
    EXPECT_EQ(64, byGroup[KQ_TEXT("AN")]);
#endif
}

TEST(Catalogue, DefaultsMatchTheirType)
{
    typedef std::basic_regex<KQChar> Pattern;
    const KQChar* number = KQ_TEXT("-?[0-9]+(\\.[0-9]+)?");
    const std::map<int32, Pattern> forms = {
        // A decimal number, often with its meaning in brackets.
        {1, Pattern(KQ_TEXT("-?[0-9]+( \\(.+\\))?"))},
        {2, Pattern(std::basic_string<KQChar>(number) + KQ_TEXT("|KQ_UNDEFINED_FLOAT"))},
        {3, Pattern(KQ_TEXT("KQ_TRUE|KQ_FALSE"))},
        {4, Pattern(KQ_TEXT("<") + std::basic_string<KQChar>(number) + KQ_TEXT("(,") + number +
                    KQ_TEXT("){2}>|KQ_UNDEFINED_VECTOR"))},
        {5, Pattern(KQ_TEXT("Identity"))},
        {6, Pattern(KQ_TEXT(".*"))},
        // A colour name, "Auto", or components 0 to 255.
        {7,
         Pattern(KQ_TEXT("[A-Za-z]+|<(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])(,(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])){2}>"))},
        // A result id, or empty for a list of them.
        {8, Pattern(KQ_TEXT("-?[0-9]+|"))},
        {9, Pattern(KQ_TEXT("NULL"))},
        // Components 0 to 1.
        {11, Pattern(KQ_TEXT("<(0|1|0\\.[0-9]+)(,(0|1|0\\.[0-9]+)){3}>"))},
        {12, Pattern(KQ_TEXT("<-?[0-9]+(,-?[0-9]+)*>"))},
    };
    for (int32 i = 0; i < KQ_API_PROPERTIES.records.count; ++i) {
        const KQAPIProperty* p = KQ_API_PROPERTIES.records.data[i];
        const std::basic_string<KQChar> d = Str(p->defaultValue);
        auto form = forms.find(p->type);
        ASSERT_NE(forms.end(), form) << p->id;
        EXPECT_TRUE(std::regex_match(d, form->second)) << p->id;
        if (p->type == 8 && d.empty()) {
            const std::basic_string<KQChar> name = Str(p->name);
            EXPECT_EQ(std::basic_string<KQChar>(KQ_TEXT("_IDS")), name.substr(name.size() - 4)) << p->id;
        }
    }
}

TEST(Catalogue, PointerTupleAndAlphaColourTypes)
{
    EXPECT_EQ(9, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PP_CU_PART_IFS_PTR"))->type);
    EXPECT_EQ(9, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PN_CU_NODES_PTR"))->type);
    EXPECT_EQ(9, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PG_VS_LO_LOGO_IMAGE"))->type);
    EXPECT_EQ(11, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PT_KQ_BACKGROUND_COLOR"))->type);
    EXPECT_EQ(12, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PA_AN_NOTE_ANC_PART_ITEM"))->type);
    EXPECT_EQ(8, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PR_FG_FRINGE_RESULT_ID"))->type);
    EXPECT_EQ(5, FindByName(KQ_API_PROPERTIES, KQ_TEXT("KQ_PM_NS_NAVIGATION_MATRIX"))->type);
}

TEST(Catalogue, OnlyTheSecondTokenDecidesTheType)
{
    OpenCatalogue c;
    ASSERT_EQ(kRecordCount, c.records.count);
    struct Case {
        const KQChar* name;
        int32 type;
    };
    const Case cases[] = {
        {KQ_TEXT("XX_PB_ANY"), 3},                              // first token is not examined
        {KQ_TEXT("PB_PI_ANY"), 1},  {KQ_TEXT("KQ_ZZ_ANY"), 0},  // unknown token
        {KQ_TEXT("KQ_pb_ANY"), 0},                              // compared exactly, case included
        {KQ_TEXT("KQ_PBX_ANY"), 0},                             // whole token, not a prefix
        {KQ_TEXT("KQ_PT"), 11},                                 // no group or words needed
        {KQ_TEXT("KQ__PB"), 0},                                 // empty second token
        {KQ_TEXT("KQPB"), 0},                                   // one token only
        {KQ_TEXT(""), 0},
    };
    for (const Case& k : cases) {
        // A type passed in is overwritten by the resolution.
        c.AddProperty(1, 5, k.name, KQ_TEXT(""), KQ_TEXT(""));
        c.ResolveTypes();
        EXPECT_EQ(k.type, c.Last()->type) << Str(KQString(k.name));
        EXPECT_EQ(KQHashString(KQString(k.name)), c.Last()->nameHash);
    }
    EXPECT_EQ(kRecordCount + 9, c.records.count);
    // Resolving again leaves the catalogue's own records as they were.
    EXPECT_EQ(6, c.records.data[0]->type);
}

TEST(Catalogue, SeparateCatalogueIsIndependentAndFreedWhole)
{
    // Built and destroyed on the heap; the sanitizer build checks that every
    // record and the block are released exactly once.
    OpenCatalogue* c = new OpenCatalogue;
    ASSERT_EQ(kRecordCount, c->records.count);
    EXPECT_NE(c->records.data[0], KQ_API_PROPERTIES.records.data[0]);
    EXPECT_TRUE(c->records.data[0]->name.Equals(KQ_API_PROPERTIES.records.data[0]->name));
    c->AddProperty(99999, 0, KQ_TEXT("KQ_PS_XX_EXTRA"), KQ_TEXT("a"), KQ_TEXT("b"));
    delete c;
    EXPECT_EQ(kRecordCount, KQ_API_PROPERTIES.records.count);
}
