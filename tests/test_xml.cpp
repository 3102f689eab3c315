// XML layer: declaration, attribute conversion, child and text operations,
// and the process-wide whitespace switch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KQOXml.h"

#include <expat.h>


namespace {

std::string Print(TiXmlNode& node)
{
    TiXmlPrinter printer;
    printer.SetIndent("\t");
    node.Accept(&printer);
    return printer.CStr();
}

std::string ParsedText(const char* xml)
{
    KQXmlDocument doc(false);
    doc.Parse(xml);
    return KQXmlElement::GetElementText(doc.FirstChildElement()).CStr();
}

}  // namespace

// Must stay the first test of this program: it watches the switch go off at
// the first element construction.
TEST(XmlWhitespace, CondensedOnlyUntilFirstElement)
{
    ASSERT_TRUE(TiXmlBase::IsWhiteSpaceCondensed());
    EXPECT_EQ(ParsedText("<a>x   y</a>"), "x y");
    KQXmlElement first("first");
    EXPECT_FALSE(TiXmlBase::IsWhiteSpaceCondensed());
    EXPECT_EQ(ParsedText("<a>x   y</a>"), "x   y");
}

TEST(XmlDocument, DeclarationFromConstructor)
{
    KQXmlDocument with(true);
    EXPECT_EQ(Print(with), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n");
    KQXmlDocument without(false);
    EXPECT_EQ(without.FirstChild(), nullptr);
}

TEST(XmlDocument, SetDeclarationReplacesLeadingDeclarationInPlace)
{
    KQXmlDocument doc(false);
    doc.Parse("<?xml version=\"1.1\" encoding=\"ISO-8859-1\"?><root/>");
    ASSERT_FALSE(doc.Error());
    EXPECT_TRUE(doc.SetDeclaration("1.0", "UTF-8", "yes"));
    TiXmlDeclaration* decl = doc.FirstChild()->ToDeclaration();
    ASSERT_NE(decl, nullptr);
    EXPECT_STREQ(decl->Version(), "1.0");
    EXPECT_STREQ(decl->Encoding(), "UTF-8");
    EXPECT_STREQ(decl->Standalone(), "yes");
    // Still exactly one declaration, followed by the root.
    ASSERT_NE(decl->NextSibling(), nullptr);
    EXPECT_STREQ(decl->NextSibling()->Value(), "root");
    EXPECT_EQ(decl->NextSibling()->NextSibling(), nullptr);
}

TEST(XmlAttributes, BlankValuesGiveTheDefault)
{
    KQXmlDocument doc(false);
    doc.Parse("<r blank=\"   \" zero=\"0\" twelve=\"12\" word=\"x\"/>");
    TiXmlElement* r = doc.FirstChildElement();
    ASSERT_NE(r, nullptr);

    bool found = true;
    EXPECT_STREQ(KQXmlElement::GetAttributeString(r, "blank", "dflt", &found).CStr(), "dflt");
    EXPECT_FALSE(found);
    found = true;
    EXPECT_STREQ(KQXmlElement::GetAttributeString(r, "missing", "dflt", &found).CStr(), "dflt");
    EXPECT_FALSE(found);
    EXPECT_STREQ(KQXmlElement::GetAttributeString(r, "zero", "dflt", &found).CStr(), "0");
    EXPECT_TRUE(found);
    // found may be omitted.
    EXPECT_STREQ(KQXmlElement::GetAttributeString(r, "zero", "dflt", nullptr).CStr(), "0");

    EXPECT_EQ(KQXmlElement::GetAttributeInt(r, "twelve", -7, &found), 12);
    EXPECT_TRUE(found);
    EXPECT_EQ(KQXmlElement::GetAttributeInt(r, "word", -7, &found), -7);
    EXPECT_FALSE(found);
    EXPECT_EQ(KQXmlElement::GetAttributeInt(r, "missing", -7, &found), -7);
    EXPECT_FALSE(found);
}

TEST(XmlAttributes, ValuesAreConvertedButTextIsNot)
{
    KQXmlDocument doc(false);
    TiXmlElement* e = KQXmlElement::AddChildElement(&doc, "e", -1, "");
    ASSERT_NE(e, nullptr);
    KQXmlElement::SetAttributeString(e, "name", "caf\xE9");
    EXPECT_STREQ(e->Attribute("name"), "caf\xC3\xA9");
    bool found = false;
    EXPECT_STREQ(KQXmlElement::GetAttributeString(e, "name", "", &found).CStr(), "caf\xE9");
    EXPECT_TRUE(found);

    TiXmlElement* t = KQXmlElement::AddTextElement(&doc, "t", "caf\xE9");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->FirstChild()->Value(), "caf\xE9");

    KQXmlElement::SetAttributeInt(e, "n", -42);
    EXPECT_STREQ(e->Attribute("n"), "-42");
}

TEST(XmlElements, AddChildElementAttributes)
{
    KQXmlDocument doc(false);
    TiXmlElement* root = KQXmlElement::AddChildElement(&doc, "root", -1, "");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->FirstAttribute(), nullptr);
    EXPECT_EQ(doc.FirstChildElement(), root);

    TiXmlElement* zero = KQXmlElement::AddChildElement(root, "a", 0, " ");
    ASSERT_NE(zero, nullptr);
    EXPECT_STREQ(zero->Attribute("ID"), "0");
    EXPECT_EQ(zero->Attribute("xmlns"), nullptr);

    TiXmlElement* both = KQXmlElement::AddChildElement(root, "b", 5, "urn:x");
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(Print(doc), "<root>\n\t<a ID=\"0\" />\n\t<b xmlns=\"urn:x\" ID=\"5\" />\n</root>\n");
    // Children are linked in order.
    EXPECT_EQ(KQXmlElement::FirstChild(root), zero);
    EXPECT_EQ(KQXmlElement::NextSibling(zero), both);
    EXPECT_EQ(KQXmlElement::NextSibling(both), nullptr);
}

TEST(XmlElements, AddTextElementEmptyAndSpace)
{
    KQXmlDocument doc(false);
    TiXmlElement* root = KQXmlElement::AddChildElement(&doc, "root", -1, "");
    TiXmlElement* empty = KQXmlElement::AddTextElement(root, "empty", "");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->FirstChild(), nullptr);
    TiXmlElement* space = KQXmlElement::AddTextElement(root, "space", " ");
    ASSERT_NE(space, nullptr);
    ASSERT_NE(space->FirstChild(), nullptr);
    EXPECT_NE(space->FirstChild()->ToText(), nullptr);
    EXPECT_EQ(Print(doc), "<root>\n\t<empty />\n\t<space> </space>\n</root>\n");
}

TEST(XmlElements, FindChildIsExactAndSkipsOtherNodes)
{
    KQXmlDocument doc(false);
    doc.Parse("<r><!-- note -->text<Item/><item id=\"2\"/></r>");
    TiXmlElement* r = KQXmlElement::FirstChild(&doc);
    ASSERT_NE(r, nullptr);
    TiXmlElement* first = KQXmlElement::FirstChild(r);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->Value(), "Item");
    TiXmlElement* item = KQXmlElement::FindChild(r, "item");
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(item->Attribute("id"), "2");
    EXPECT_EQ(KQXmlElement::FindChild(r, "ITEM"), nullptr);
}

TEST(XmlElements, ElementTextBehindChildren)
{
    KQXmlDocument doc(false);
    doc.Parse("<r><c/>first<d/>second</r>");
    TiXmlElement* r = doc.FirstChildElement();
    EXPECT_STREQ(KQXmlElement::GetElementText(r).CStr(), "first");
    EXPECT_TRUE(KQXmlElement::SetElementText(r, "new"));
    EXPECT_STREQ(KQXmlElement::GetElementText(r).CStr(), "new");
    EXPECT_EQ(Print(doc), "<r>\n\t<c />\n\tnew\n\t<d />\n\tsecond\n</r>\n");

    // Only element children: the text goes after them.
    KQXmlDocument other(false);
    other.Parse("<r><c/><d/></r>");
    TiXmlElement* o = other.FirstChildElement();
    EXPECT_STREQ(KQXmlElement::GetElementText(o).CStr(), "");
    EXPECT_TRUE(KQXmlElement::SetElementText(o, "tail"));
    EXPECT_NE(o->LastChild()->ToText(), nullptr);
    EXPECT_STREQ(KQXmlElement::GetElementText(o).CStr(), "tail");
}

namespace {

std::string Repeat(const std::string& unit, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += unit;
    return out;
}

KQXmlShape ParseShape(const std::string& text, const KQXmlBounds& bounds = KQ_XML_PART_BOUNDS)
{
    TiXmlDocument doc;
    return KQXmlParse(text.c_str(), text.size(), bounds, doc);
}

// Deepest element and number of elements of what TinyXML parsed.
void TreeShape(const TiXmlNode* node, int level, int* deepest, int* elements)
{
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
        if (c->ToElement()) {
            ++*elements;
            if (level + 1 > *deepest)
                *deepest = level + 1;
            TreeShape(c, level + 1, deepest, elements);
        }
    }
}

}  // namespace

// Real parts pass with what they hold counted; each bound refuses the first
// step past it and admits the step before.
TEST(XmlLookOver, BoundsAreKeptAtTheirEdges)
{
    const std::string types = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                              "<Types xmlns=\"urn:t\"><Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                              "<Override PartName=\"/a.xml\" ContentType=\"x\"/><!-- note --></Types>";
    KQXmlShape shape = ParseShape(types);
    EXPECT_EQ(shape.verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(shape.depth, 2);
    EXPECT_EQ(shape.elements, 3u);
    EXPECT_EQ(shape.others, 7u);  // declaration, five attributes, comment
    // Each node and string as the heap keeps it: an element with its
    // attribute list takes a few hundred bytes.
    EXPECT_GE(shape.cost, 3 * sizeof(TiXmlElement) + 5 * sizeof(TiXmlAttribute));
    EXPECT_LE(shape.cost, 3 * 512 + 7 * 256u);

    EXPECT_EQ(ParseShape(Repeat("<x>", 256) + Repeat("</x>", 256)).verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(ParseShape(Repeat("<x>", 255) + "<x/>" + Repeat("</x>", 255)).verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(ParseShape(Repeat("<x>", 257) + Repeat("</x>", 257)).verdict, KQ_XML_TOO_DEEP);
    EXPECT_EQ(ParseShape(Repeat("<x>", 256) + "<x/>" + Repeat("</x>", 256)).verdict, KQ_XML_TOO_DEEP);
    // Cut short, or never closed: the depth is refused all the same.
    EXPECT_EQ(ParseShape(Repeat("<x>", 1000000)).verdict, KQ_XML_TOO_DEEP);

    std::string attributes;
    for (int i = 0; i < 257; ++i)
        attributes += " a" + std::to_string(i) + "=\"\"";
    EXPECT_EQ(ParseShape("<x" + attributes.substr(0, attributes.rfind(" a256")) + "/>").verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(ParseShape("<x" + attributes + "/>").verdict, KQ_XML_TOO_MANY_ATTRIBUTES);
    // Duplicates among the first few and among many are ill-formed to
    // Expat; names are compared exactly.
    EXPECT_EQ(ParseShape("<x a='1' b='2' a='3'/>").error, static_cast<int32>(XML_ERROR_DUPLICATE_ATTRIBUTE));
    EXPECT_EQ(ParseShape("<x" + attributes.substr(0, attributes.find(" a100=")) + " a7=\"\"/>").error,
              static_cast<int32>(XML_ERROR_DUPLICATE_ATTRIBUTE));
    EXPECT_EQ(ParseShape("<x a='1' A='2' a:b='3' ab='4'/>").verdict, KQ_XML_ADMITTED);

    KQXmlBounds small = KQ_XML_PART_BOUNDS;
    small.bytes = 100;
    EXPECT_EQ(ParseShape("<r>" + Repeat("<a/>", 23) + "</r>", small).verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(ParseShape("<r>" + Repeat("<a/>", 23) + "</r>\n", small).verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(ParseShape("<r>" + Repeat("<a/>", 23) + "</r>\n ", small).verdict, KQ_XML_TOO_LARGE);
    // Memory is counted as the tree grows, with what Expat holds meanwhile
    // (among it its copy of the text): a tree of half the bound passes, one
    // of twice the bound stops at the bound.
    small = KQ_XML_PART_BOUNDS;
    small.cost = 1u << 20;
    const KQXmlShape half = ParseShape("<r>" + Repeat("<a/>", 2000) + "</r>");
    ASSERT_EQ(half.verdict, KQ_XML_ADMITTED);
    const size_t fit = static_cast<size_t>(2000 * (small.cost / 2) / half.cost);
    EXPECT_EQ(ParseShape("<r>" + Repeat("<a/>", fit) + "</r>", small).verdict, KQ_XML_ADMITTED);
    EXPECT_EQ(ParseShape("<r>" + Repeat("<a/>", 4 * fit) + "</r>", small).verdict, KQ_XML_TOO_COSTLY);
    EXPECT_EQ(ParseShape("<r>" + std::string(small.cost, 't') + "</r>", small).verdict, KQ_XML_TOO_COSTLY);
    EXPECT_EQ(ParseShape("<r a='" + std::string(small.cost / 2, 't') + "'/>", small).verdict, KQ_XML_TOO_COSTLY);
    EXPECT_EQ(ParseShape("<r>" + std::string(small.cost / 8, 't') + "</r>", small).verdict, KQ_XML_ADMITTED);
    // 4 million empty elements are 16 MB of text and would take about 1 GB.
    EXPECT_EQ(ParseShape("<r>" + Repeat("<a/>", 4000000) + "</r>").verdict, KQ_XML_TOO_COSTLY);

    EXPECT_STREQ(KQXmlVerdictText(ParseShape(Repeat("<x>", 300)), KQ_XML_PART_BOUNDS).CStr(),
                 "nests elements deeper than 256 levels");
}

// What is counted is what is built: whatever markup could hide elements
// from a scan (quotes, comments, CDATA, declarations, byte-order marks,
// references, processing instructions), the tree holds exactly the
// elements and depth the parse counted. Text that TinyXML would have read
// otherwise than a strict parser is refused.
TEST(XmlLookOver, TheTreeIsWhatWasCounted)
{
    KQXmlElement switchOff("x");
    const std::string deep = "<x><x><x><x></x></x></x></x>";
    const std::vector<std::string> texts = {
        "<r a=\"&lt;x>\" b='>'>" + deep + "</r>",
        "<r><!-- <x><x> -->" + deep + "<![CDATA[<x><x>]]></r>",
        "<?xml version='1.0' encoding=\"UTF-8\"?><r>" + deep + "</r>",
        "\xEF\xBB\xBF<r>\xEF\xBB\xBF" + deep + "\xEF\xBF\xBD</r>",
        "<r>&#x3c;&#60;&lt;" + deep + "&amp;</r>",
        "<?pi a=\"x>\" ?><r>" + deep + "</r>",
        "<r><?pi > <x> ?>" + deep + "</r>",
        "<r>\xC3\xA9" + deep + "</r>",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        TiXmlDocument doc;
        const KQXmlShape shape = KQXmlParse(text.c_str(), text.size(), KQ_XML_PART_BOUNDS, doc);
        ASSERT_EQ(shape.verdict, KQ_XML_ADMITTED);
        int deepest = 0, elements = 0;
        TreeShape(&doc, 0, &deepest, &elements);
        EXPECT_EQ(shape.depth, deepest);
        EXPECT_EQ(shape.elements, static_cast<uint64>(elements));
        EXPECT_EQ(elements, 5);
    }
    // TinyXML read "&#x" on to the next ';', across markup, and took what
    // it did not know for unknown nodes; a strict parse refuses all of it,
    // and nothing of a refused part is left in the document.
    const std::vector<std::string> refused = {
        "<r>&#x<!--x41;" + deep + "--></r>",
        "<r>&#<!--41;" + deep + "--></r>",
        "<r>&#x</r>x;" + deep,
        "<x>&#x<#x;<x>&#x<#x;<x",
        "<r a=b c=d>" + deep + "</r>",
        "<r>text<1>" + deep + "</r>",
        "</r>" + deep,
        "<r><x></r>" + deep,
        "<r>&#0;</r>",
        "<r a='&#0;'/>",
        "<r>&unknown;</r>",
        "<r/>" + deep,
        "<?xml version=\"?> <!-- \"?>" + deep,
        "<r><x a=\"1",
        "<r><!-- x",
    };
    for (const std::string& text : refused) {
        SCOPED_TRACE(text);
        TiXmlDocument doc;
        doc.LinkEndChild(new TiXmlComment("kept"));
        const KQXmlShape shape = KQXmlParse(text.c_str(), text.size(), KQ_XML_PART_BOUNDS, doc);
        EXPECT_EQ(shape.verdict, KQ_XML_MALFORMED);
        EXPECT_NE(shape.error, 0);
        EXPECT_NE(KQXmlVerdictText(shape, KQ_XML_PART_BOUNDS).Find("is not well-formed XML ("), -1);
        ASSERT_NE(doc.FirstChild(), nullptr);
        EXPECT_EQ(doc.FirstChild()->NextSibling(), nullptr);
    }
    EXPECT_EQ(ParseShape("<r>\xE0</r>" + deep).verdict, KQ_XML_NOT_UTF8);
    EXPECT_EQ(ParseShape("<r a='\xF0'>" + deep + "</r>").verdict, KQ_XML_NOT_UTF8);
    EXPECT_EQ(ParseShape("<r>\xC3").verdict, KQ_XML_NOT_UTF8);
    EXPECT_EQ(ParseShape("<!DOCTYPE r [<!ENTITY e \"<x>\">]><r>&e;</r>").verdict, KQ_XML_DOCUMENT_TYPE);
    EXPECT_EQ(ParseShape("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r/>").verdict, KQ_XML_DOCUMENT_TYPE);
    EXPECT_EQ(ParseShape("<r><!ELEMENT x ANY></r>").verdict, KQ_XML_MALFORMED);
    EXPECT_EQ(ParseShape("<?xml version=\"\xC3\xA9\"?><r/>").verdict, KQ_XML_MALFORMED);
    EXPECT_EQ(ParseShape("<r a=\"1\" b/>").verdict, KQ_XML_MALFORMED);
    // A declared encoding other than UTF-8 does not change how the bytes
    // are read.
    EXPECT_EQ(ParseShape("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\xC3\xA9</r>").verdict, KQ_XML_ADMITTED);
}

namespace {

std::string TinyPrint(const TiXmlNode& node)
{
    TiXmlPrinter printer;
    printer.SetIndent("\t");
    node.Accept(&printer);
    return printer.CStr();
}

std::string BoundedPrint(const TiXmlNode& node, size_t most = 1u << 30)
{
    std::string text;
    EXPECT_TRUE(KQXmlPrint(node, text, most));
    return text;
}

}  // namespace

// The printed text is TinyXML's to the byte up to 32 levels; deeper lines
// keep 32 tabs, so the text grows with the depth and not its square.
TEST(XmlPrint, TinyXmlsTextUpToTheIndentCap)
{
    KQXmlElement switchOff("x");
    const char* texts[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<Types xmlns=\"urn:t\"><Default "
        "Extension=\"kqfx\" ContentType=\"ppt/kqfxFiles/kqfx\"/><Override PartName=\"/a.xml\" ContentType=\"x\"/>"
        "</Types>",
        "<r a=\"it's &quot;q&quot;\" b='&lt;&amp;&gt;' c=\"&#x41;&amp;#x4;&amp;#x4\" d=\"tab&#9;nl&#10;\"><t>simple "
        "&amp; &apos;</t><m>one<b/>two</m><![CDATA[raw <x> & ]]><!-- comment --><?pi stuff?><e></e><u>\xC3\xA9</u>"
        "</r>",
        "<a><b><c><d><e><f/></e></d></c></b></a>",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        KQXmlDocument doc(false);
        doc.Parse(text);
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        // But for what TinyXML wrote so that it read back as other text:
        // "&#x" in a value passed through raw, and mixed content indented
        // (the tabs and line breaks joined its text).
        std::string tiny = TinyPrint(doc);
        const std::pair<std::string, std::string> mended[] = {
            {"c=\"A&#x4;&#x4\"", "c=\"A&amp;#x4;&amp;#x4\""},
            {"<m>\n\t\tone\n\t\t<b />\n\t\ttwo\n\t</m>", "<m>one<b />two</m>"}};
        for (const auto& m : mended) {
            const size_t at = tiny.find(m.first);
            if (at != std::string::npos)
                tiny.replace(at, m.first.size(), m.second);
        }
        EXPECT_EQ(BoundedPrint(doc), tiny);
    }
    KQXmlDocument built(true);
    TiXmlElement* root = KQXmlElement::AddChildElement(&built, "kqfxReferencedFiles", -1, "urn:kq");
    TiXmlElement* path = KQXmlElement::AddChildElement(root, "kqfxPath", -1, "");
    KQXmlElement::SetAttributeString(path, "originalPath", "C:\\it's\\<model>.kqfx");
    EXPECT_EQ(BoundedPrint(built), TinyPrint(built));

    KQXmlDocument at32(false);
    at32.Parse((Repeat("<x>", 33) + "t" + Repeat("</x>", 33)).c_str());
    EXPECT_EQ(BoundedPrint(at32), TinyPrint(at32));
    KQXmlDocument deeper(false);
    deeper.Parse((Repeat("<x>", 40) + "<y/>" + Repeat("</x>", 40)).c_str());
    const std::string printed = BoundedPrint(deeper);
    EXPECT_NE(printed.find("\n" + Repeat("\t", 32) + "<y />\n"), std::string::npos);
    EXPECT_EQ(printed.find(Repeat("\t", 33)), std::string::npos);
    std::string expected;
    for (int i = 0; i < 40; ++i)
        expected += Repeat("\t", std::min(i, 32)) + "<x>\n";
    expected += Repeat("\t", 32) + "<y />\n";
    for (int i = 39; i >= 0; --i)
        expected += Repeat("\t", std::min(i, 32)) + "</x>\n";
    EXPECT_EQ(printed, expected);
}

TEST(XmlPrint, StopsBeforePassingTheLimit)
{
    KQXmlDocument doc(false);
    doc.Parse("<r a=\"'''\"><b>text</b></r>");
    const std::string whole = TinyPrint(doc);
    std::string text;
    EXPECT_TRUE(KQXmlPrint(doc, text, whole.size()));
    EXPECT_EQ(text, whole);
    EXPECT_FALSE(KQXmlPrint(doc, text, whole.size() - 1));
    EXPECT_LE(text.size(), whole.size() - 1);
    // One value of escapes is not printed whole before the limit stops it.
    KQXmlDocument quotes(false);
    quotes.Parse(("<r a=\"" + Repeat("'", 100000) + "\"/>").c_str());
    EXPECT_FALSE(KQXmlPrint(quotes, text, 1000));
    EXPECT_LE(text.size(), 1000u);
}

// What the printer writes parses back as the same tree, with the white
// space kept and condensed: values holding "&#x", mixed content, every
// escape. A node that XML cannot hold as it is stops the print with the
// reason, and nothing is written.
TEST(XmlPrint, WritesOnlyWhatReadsBack)
{
    const char* texts[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><r a=\"&amp;#x41;&#10;&#9;&#13;&lt;\" "
        "b='&quot;&apos;'>&amp;#x3c;&#13;<![CDATA[&#x<]]>  t  <m>one <b>two</b>  three<![CDATA[ ]]></m>"
        "<!-- &#x --><?pi &#x41;?><e>&#x20;&#xA0;\xE2\x80\x99</e></r>",
        "<r>\n\t<a> x </a>\n\t<b/>\n</r>",
        // Declaration values that Expat reads although no version 1.n
        // says them, an empty version among them.
        "<?xml version=\"\"?><r/>",
        "<?xml version=\"abc\" encoding=\"x_y.z-1\"?><r/>",
    };
    for (const char* text : texts) {
        for (bool condense : {true, false}) {
            SCOPED_TRACE(std::string(text) + (condense ? " condensed" : " kept"));
            TiXmlDocument doc;
            ASSERT_EQ(KQXmlParse(text, strlen(text), KQ_XML_PART_BOUNDS, doc, condense).verdict, KQ_XML_ADMITTED);
            std::string printed;
            ASSERT_TRUE(KQXmlPrint(doc, printed, 1u << 20));
            TiXmlDocument again;
            ASSERT_EQ(KQXmlParse(printed.c_str(), printed.size(), KQ_XML_PART_BOUNDS, again, condense).verdict,
                      KQ_XML_ADMITTED);
            EXPECT_TRUE(KQXmlSameTree(doc, again)) << printed;
            std::string twice;
            ASSERT_TRUE(KQXmlPrint(again, twice, 1u << 20));
            EXPECT_EQ(twice, printed);
        }
    }
    TiXmlDocument doc;
    const std::string quoted = "<r a=\"&amp;#x22; x=&quot;1\"/>";
    ASSERT_EQ(KQXmlParse(quoted.c_str(), quoted.size(), KQ_XML_PART_BOUNDS, doc, false).verdict, KQ_XML_ADMITTED);
    std::string printed;
    ASSERT_TRUE(KQXmlPrint(doc, printed, 1u << 20));
    EXPECT_EQ(printed, "<r a='&amp;#x22; x=&quot;1' />\n");

    // Nodes that a program may make but XML cannot hold as they are.
    struct Case {
        const char* label;
        TiXmlNode* node;
    };
    TiXmlText* cdata = new TiXmlText("a]]>b");
    cdata->SetCDATA(true);
    TiXmlUnknown* unknown = new TiXmlUnknown();
    unknown->SetValue("!DOCTYPE r");
    TiXmlElement* badValue = new TiXmlElement("x");
    badValue->SetAttribute("a", "\x01");
    const Case cases[] = {
        {"comment", new TiXmlComment("a--b")},
        {"comment", new TiXmlComment("a-")},
        {"CDATA section", cdata},
        {"text with a character", new TiXmlText("bell\x07")},
        {"text with a character", badValue},
        {"element whose name", new TiXmlElement("1x")},
        {"element whose name", new TiXmlElement("a b")},
        {"node", unknown},
        {"declaration", new TiXmlDeclaration("1.0\"?><x", "UTF-8", "")},
        {"declaration", new TiXmlDeclaration("1.0", "9x", "")},
        {"declaration", new TiXmlDeclaration("1.0", "UTF-8", "&#x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TiXmlDocument built;
        TiXmlElement* root = new TiXmlElement("r");
        built.LinkEndChild(root);
        root->LinkEndChild(c.node);
        std::string out = "stale";
        std::string why;
        bool tooLarge = true;
        EXPECT_FALSE(KQXmlPrint(built, out, 1u << 20, &tooLarge, &why));
        EXPECT_FALSE(tooLarge);
        EXPECT_EQ(out, "");
        EXPECT_NE(why.find(c.label), std::string::npos) << why;
        EXPECT_NE(why.find("cannot be written as XML"), std::string::npos) << why;
    }
    // A declaration anywhere but first in the document.
    TiXmlDocument late;
    late.LinkEndChild(new TiXmlComment("first"));
    late.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "yes"));
    std::string why;
    EXPECT_FALSE(KQXmlPrint(late, printed, 1u << 20, nullptr, &why));
    EXPECT_NE(why.find("declaration"), std::string::npos);
}
