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

// What one parsed part may hold. A part is parsed by Expat, which keeps
// its own stack of open tags (no nesting recurses) and finds a name given
// twice through a hash; the nodes are built as it goes, and the parse
// stops at the first bound passed. cost bounds the memory the parse holds:
// the nodes and strings of the tree, counted as they are made (a heap
// block's bytes rounded to 16, plus 16), with what Expat holds meanwhile
// (its copy of the text among it), counted by its allocator.
struct KQXmlBounds {
    uint32 bytes;
    int32 depth;
    int32 attributes;  // of one element
    uint64 cost;
};

// The bounds of every part read from an archive: 16 MiB, 256 levels (as
// libxml2), 256 attributes an element, 64 MiB parsed. The parts of a deck
// of 10,000 controls are 2.5 MB, two levels deep, with at most a few
// attributes an element.
extern const KQXmlBounds KQ_XML_PART_BOUNDS;

enum KQXmlVerdict {
    KQ_XML_ADMITTED,
    KQ_XML_TOO_LARGE,
    KQ_XML_TOO_DEEP,
    KQ_XML_TOO_MANY_ATTRIBUTES,
    KQ_XML_TOO_COSTLY,
    KQ_XML_DOCUMENT_TYPE,
    KQ_XML_NOT_UTF8,
    KQ_XML_MALFORMED,
    KQ_XML_NO_MEMORY
};

struct KQXmlShape {
    KQXmlVerdict verdict = KQ_XML_ADMITTED;
    int32 depth = 0;  // deepest nesting of elements built
    uint64 elements = 0;
    uint64 others = 0;  // attributes, texts, comments, declarations, others
    // Bytes the tree built holds (see KQXmlBounds).
    uint64 cost = 0;
    // For KQ_XML_MALFORMED: Expat's error code and text (static), and
    // where it stopped (from 1).
    int32 error = 0;
    const char* errorText = nullptr;
    uint64 line = 0;
    uint64 column = 0;
};

// Parses text (read up to its first NUL; length is where the NUL stands)
// and appends the nodes to into, as TinyXML's parse would: text condensed
// while condense is set (by default TinyXML's process-wide switch), blank
// text dropped, CDATA, comments and the declaration kept as nodes, a
// processing instruction kept as an unknown node. Refused, with into as it
// was: text beyond a bound, a DTD (none belongs in a package part; so no
// entity is ever declared), text that is not UTF-8 (whatever the
// declaration says) or not well-formed.
KQXmlShape KQXmlParse(const char* text, size_t length, const KQXmlBounds& bounds, TiXmlNode& into);
KQXmlShape KQXmlParse(const char* text, size_t length, const KQXmlBounds& bounds, TiXmlNode& into, bool condense);

// Why a part was refused, as words after its name: "nests elements deeper
// than 256 levels"; for ill-formed text with Expat's words and where it
// stopped. Empty for KQ_XML_ADMITTED.
KQString KQXmlVerdictText(const KQXmlShape& shape, const KQXmlBounds& bounds);

// Prints node as TinyXML's printer does with a tab per level, except that no
// line is indented by more than 32 tabs, so that what a part of deep nesting
// prints grows with its size and not with the square of its depth, and that
// only what parses back as the same nodes is written: "&#x" in a value is
// escaped as any other '&', and the content of an element that mixes text
// with other nodes gets no line breaks or tabs (they would join its text).
// Stops, false with *tooLarge set (may be null), as soon as the text would
// pass most bytes; false with *unwritable (may be null) in words after "it"
// at a node that XML cannot hold as it is (a comment holding "--", CDATA
// holding "]]>", a control character, a name that is none, a declaration
// that is not first or holds other values than a declaration may); false
// also when memory runs out. The text is empty after a failure.
bool KQXmlPrint(const TiXmlNode& node, std::string& text, size_t most, bool* tooLarge = nullptr,
                std::string* unwritable = nullptr);

// Whether read (a tree parsed from what written printed, with the white
// space kept) holds the same nodes as written: the same names, attributes
// in order, values and kinds. An empty or blank text of written counts as
// absent, as the parse drops it.
bool KQXmlSameTree(const TiXmlNode& written, const TiXmlNode& read);

// Most tabs before a printed line.
const int32 KQ_XML_MOST_INDENT = 32;

#endif
