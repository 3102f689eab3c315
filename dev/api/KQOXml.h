// XML documents and elements over TinyXML.
//
// Both classes are thin: they add no fields and override nothing, so a
// document or element may be handled (and deleted) through its TinyXML base.
// Trees parsed from an archive hold plain TinyXML nodes, which is why the
// element operations are static and accept any TinyXML element or node.
//
// Only attribute values are converted between the local code page of
// KQString and the UTF-8 that TinyXML keeps; element names, attribute names
// and element text pass as the string's bytes.
#ifndef KQOXML_H
#define KQOXML_H

#include <tinyxml.h>

#include "KQOTypes.h"
#include "KQOString.h"

class KQXmlDocument : public TiXmlDocument {
public:
    // A document about to be filled by parsing is built without declaration.
    explicit KQXmlDocument(bool withDeclaration);

    // Replaces the values of a leading declaration in place, else appends a
    // new declaration. Always true.
    bool SetDeclaration(const KQString& version, const KQString& encoding, const KQString& standalone);
};

class KQXmlElement : public TiXmlElement {
public:
    // Switches TinyXML's whitespace condensing off for the whole process:
    // text parsed afterwards keeps its white space.
    explicit KQXmlElement(const char* name);

    // Keep TinyXML's own navigation reachable on KQXmlElement objects.
    using TiXmlNode::FirstChild;
    using TiXmlNode::NextSibling;

    // The value is stored as UTF-8; a value that cannot be converted is
    // stored as the empty text.
    static void SetAttributeString(TiXmlElement* element, const KQString& name, const KQString& value);
    static void SetAttributeInt(TiXmlElement* element, const KQString& name, int32 value);
    // A missing or blank value gives defaultValue with *found false.
    static KQString GetAttributeString(const TiXmlElement* element, const KQString& name, const KQString& defaultValue,
                                       bool* found);
    // A missing value or one that is not a decimal integer gives defaultValue
    // with *found false.
    static int32 GetAttributeInt(const TiXmlElement* element, const KQString& name, int32 defaultValue, bool* found);

    // Child elements of any node (document or element); null when none.
    static TiXmlElement* FirstChild(TiXmlNode* node);
    static TiXmlElement* FindChild(TiXmlNode* node, const KQString& name);
    static TiXmlElement* NextSibling(TiXmlElement* element);

    // New element linked as the parent's last child, with an "xmlns"
    // attribute when xmlNamespace is not blank and an "ID" attribute when
    // id >= 0. Null when nothing could be created; nothing is linked then.
    static TiXmlElement* AddChildElement(TiXmlNode* parent, const KQString& name, int32 id,
                                         const KQString& xmlNamespace);
    // New element with one text child (none for an empty text), linked as
    // the parent's last child. Null on failure, with nothing linked.
    static TiXmlElement* AddTextElement(TiXmlNode* parent, const KQString& name, const KQString& text);

    // Value of the first text child, even behind child elements; empty when
    // there is none.
    static KQString GetElementText(const TiXmlElement* element);
    // Replaces the first text child's value or appends a text child. True
    // (false only for a missing element).
    static bool SetElementText(TiXmlElement* element, const KQString& text);
};

#endif
