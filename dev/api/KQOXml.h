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

#include <cstddef>
#include <string>

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

// What one parsed part may hold. TinyXML parses an element by recursion (a
// deep part overflows the stack), checks each attribute against every
// earlier one of its element, and keeps about 55 bytes for each byte of a
// part of empty elements; a part is therefore looked over once, without
// recursion, before TinyXML sees it, and refused when it is beyond these.
// cost is the estimate of the parsed tree (below) that a part may reach.
struct KQXmlBounds {
    uint32 bytes;
    int32 depth;
    int32 attributes;  // of one element
    uint64 cost;
};

// The bounds of every part read from an archive: 16 MiB, 256 levels (as
// libxml2), 256 attributes an element, 64 MiB of parsed tree. The parts of a
// deck of 10,000 controls are 2.5 MB, two levels deep, with at most a few
// attributes an element.
extern const KQXmlBounds KQ_XML_PART_BOUNDS;

enum KQXmlVerdict {
    KQ_XML_ADMITTED,
    KQ_XML_TOO_LARGE,
    KQ_XML_TOO_DEEP,
    KQ_XML_TOO_MANY_ATTRIBUTES,
    KQ_XML_DUPLICATE_ATTRIBUTE,
    KQ_XML_TOO_COSTLY,
    KQ_XML_DOCUMENT_TYPE,
    KQ_XML_NOT_UTF8,
    KQ_XML_MALFORMED
};

struct KQXmlShape {
    KQXmlVerdict verdict = KQ_XML_ADMITTED;
    int32 depth = 0;  // deepest nesting of elements seen
    uint64 elements = 0;
    uint64 others = 0;  // attributes, texts, comments, declarations, others
    // Estimated bytes of the parsed tree: 256 an element, 192 any other
    // node, plus the text (TinyXML keeps about 224 and 128, and the strings).
    uint64 cost = 0;
};

// Looks text (read up to its NUL, as TinyXML reads it; length is where the
// NUL stands) over in one pass, splitting it as TinyXML does, and stops at
// the first bound it passes. Text that could make TinyXML see markup that
// this pass does not see is refused as well: a DTD (none belongs in a
// package part), a UTF-8 lead byte without its continuation bytes (TinyXML
// steps over the bytes a lead byte announces, whatever they are), and
// markup TinyXML would refuse anyway. Whatever is admitted, TinyXML parses
// with at most depth levels of recursion.
KQXmlShape KQXmlLookOver(const char* text, size_t length, const KQXmlBounds& bounds);

// Why a part was refused, as words after its name: "nests elements deeper
// than 256 levels". Empty for KQ_XML_ADMITTED.
KQString KQXmlVerdictText(const KQXmlShape& shape, const KQXmlBounds& bounds);

// Prints node as TinyXML's printer does with a tab per level, except that no
// line is indented by more than 32 tabs, so that what a part of deep nesting
// prints grows with its size and not with the square of its depth. Stops,
// false with *tooLarge set (may be null), as soon as the text would pass
// most bytes; false also when memory runs out.
bool KQXmlPrint(const TiXmlNode& node, std::string& text, size_t most, bool* tooLarge = nullptr);

// Most tabs before a printed line.
const int32 KQ_XML_MOST_INDENT = 32;

#endif
