// XML layer: declaration, attribute conversion, child and text operations,
// and the process-wide whitespace switch.
#include <gtest/gtest.h>

#include <string>

#include "KQOXml.h"

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
