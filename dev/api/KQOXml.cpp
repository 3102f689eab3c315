// XML documents and elements over TinyXML.
#include "KQOXml.h"

#include <cstdlib>
#include <cstring>
#include <new>

KQXmlDocument::KQXmlDocument(bool withDeclaration) : TiXmlDocument()
{
    if (withDeclaration)
        SetDeclaration("1.0", "UTF-8", "yes");
}

bool KQXmlDocument::SetDeclaration(const KQString& version, const KQString& encoding, const KQString& standalone)
{
    TiXmlNode* first = TiXmlNode::FirstChild();
    if (first && first->ToDeclaration()) {
        // Assignment keeps the node's links, so the declaration stays first.
        *first->ToDeclaration() = TiXmlDeclaration(version.CStr(), encoding.CStr(), standalone.CStr());
        return true;
    }
    TiXmlDeclaration* declaration =
        new (std::nothrow) TiXmlDeclaration(version.CStr(), encoding.CStr(), standalone.CStr());
    if (declaration)
        LinkEndChild(declaration);
    return true;
}

KQXmlElement::KQXmlElement(const char* name) : TiXmlElement(name ? name : "")
{
    TiXmlBase::SetCondenseWhiteSpace(false);
}

void KQXmlElement::SetAttributeString(TiXmlElement* element, const KQString& name, const KQString& value)
{
    if (!element)
        return;
    int32 size = 0;
    char* utf8 = KQToUTF8(value, size);
    element->SetAttribute(name.CStr(), utf8 ? utf8 : "");
    free(utf8);
}

void KQXmlElement::SetAttributeInt(TiXmlElement* element, const KQString& name, int32 value)
{
    if (!element)
        return;
    element->SetAttribute(name.CStr(), static_cast<int>(value));
}

KQString KQXmlElement::GetAttributeString(const TiXmlElement* element, const KQString& name,
                                          const KQString& defaultValue, bool* found)
{
    if (found)
        *found = false;
    KQString value;
    const char* raw = element ? element->Attribute(name.CStr()) : nullptr;
    if (raw)
        value = KQFromUTF8(raw, static_cast<int32>(strlen(raw)) + 1);
    if (value.IsBlank())
        return defaultValue;
    if (found)
        *found = true;
    return value;
}

int32 KQXmlElement::GetAttributeInt(const TiXmlElement* element, const KQString& name, int32 defaultValue, bool* found)
{
    int value = 0;
    if (element && element->QueryIntAttribute(name.CStr(), &value) == TIXML_SUCCESS) {
        if (found)
            *found = true;
        return value;
    }
    if (found)
        *found = false;
    return defaultValue;
}

TiXmlElement* KQXmlElement::FirstChild(TiXmlNode* node)
{
    return node ? node->FirstChildElement() : nullptr;
}

TiXmlElement* KQXmlElement::FindChild(TiXmlNode* node, const KQString& name)
{
    return node ? node->FirstChildElement(name.CStr()) : nullptr;
}

TiXmlElement* KQXmlElement::NextSibling(TiXmlElement* element)
{
    return element ? element->NextSiblingElement() : nullptr;
}

TiXmlElement* KQXmlElement::AddChildElement(TiXmlNode* parent, const KQString& name, int32 id,
                                            const KQString& xmlNamespace)
{
    if (!parent)
        return nullptr;
    KQXmlElement* element = new (std::nothrow) KQXmlElement(name.CStr());
    if (!element)
        return nullptr;
    // Linked before the attributes are set, so that a caller never sees a
    // half-built element outside the tree.
    parent->LinkEndChild(element);
    if (!xmlNamespace.IsBlank())
        SetAttributeString(element, "xmlns", xmlNamespace);
    if (id >= 0)
        SetAttributeInt(element, "ID", id);
    return element;
}

TiXmlElement* KQXmlElement::AddTextElement(TiXmlNode* parent, const KQString& name, const KQString& text)
{
    if (!parent)
        return nullptr;
    KQXmlElement* element = new (std::nothrow) KQXmlElement(name.CStr());
    if (!element)
        return nullptr;
    if (!text.IsEmpty()) {
        TiXmlText* textNode = new (std::nothrow) TiXmlText(text.CStr());
        if (!textNode) {
            delete element;
            return nullptr;
        }
        element->LinkEndChild(textNode);
    }
    parent->LinkEndChild(element);
    return element;
}

KQString KQXmlElement::GetElementText(const TiXmlElement* element)
{
    if (!element)
        return KQString();
    for (const TiXmlNode* child = element->TiXmlNode::FirstChild(); child; child = child->TiXmlNode::NextSibling()) {
        if (child->ToText())
            return KQString(child->Value());
    }
    return KQString();
}

bool KQXmlElement::SetElementText(TiXmlElement* element, const KQString& text)
{
    if (!element)
        return false;
    for (TiXmlNode* child = element->TiXmlNode::FirstChild(); child; child = child->TiXmlNode::NextSibling()) {
        if (child->ToText()) {
            child->SetValue(text.CStr());
            return true;
        }
    }
    TiXmlText* textNode = new (std::nothrow) TiXmlText(text.CStr());
    if (textNode)
        element->LinkEndChild(textNode);
    return true;
}
