// XML documents and elements over TinyXML.
#include "KQOXml.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// Expat declares its amplification limits only where its build has DTD
// support, which Debian's and ours both have; its own configuration
// header is not installed.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

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

const KQXmlBounds KQ_XML_PART_BOUNDS = {16u * 1024u * 1024u, 256, 256, 64ull * 1024u * 1024u};

namespace {

// TinyXML's white space, which its condensing and its dropping of blank
// text go by.
bool IsSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsBlankText(const std::string& text)
{
    for (unsigned char c : text)
        if (!IsSpace(c))
            return false;
    return true;
}

// Bytes that a lead byte announces; 0 for a byte that leads no sequence.
int SequenceLength(unsigned char c)
{
    if (c < 0xC0)
        return 1;
    if (c < 0xC2)
        return 0;
    if (c < 0xE0)
        return 2;
    if (c < 0xF0)
        return 3;
    return c < 0xF5 ? 4 : 0;
}

bool IsUtf8(const char* text, size_t length)
{
    for (size_t i = 0; i < length;) {
        const int n = SequenceLength(static_cast<unsigned char>(text[i]));
        bool whole = n > 0 && i + static_cast<size_t>(n) <= length;
        for (int k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!whole)
            return false;
        i += static_cast<size_t>(n);
    }
    return true;
}

// What one block from the heap costs: its bytes rounded to 16 and a
// 16-byte header, as the C libraries' allocators keep them.
uint64 HeapBlock(size_t n)
{
    return ((static_cast<uint64>(n) + 15) & ~static_cast<uint64>(15)) + 16;
}

// The heap a string holds beyond itself: none while its characters fit in
// the object.
uint64 StringHeap(const std::string& s)
{
    const char* data = s.data();
    const char* self = reinterpret_cast<const char*>(&s);
    if (data >= self && data < self + sizeof(s))
        return 0;
    return HeapBlock(s.capacity() + 1);
}

uint64 NodeHeap(const TiXmlNode& node, size_t size)
{
    return HeapBlock(size) + StringHeap(node.ValueStr());
}

// Expat's own memory is counted by its allocator, which has no room for a
// caller's data: the parse in progress on this thread is found here.
struct ExpatHeap {
    uint64 live = 0;
    uint64 limit = 0;  // what Expat may hold besides the tree
    bool refused = false;
};
thread_local ExpatHeap* tCurrentHeap = nullptr;

// Each block carries its size in front of it, where the counter finds it.
const size_t kBlockHeader = 16;

void* CountedMalloc(size_t n)
{
    ExpatHeap* heap = tCurrentHeap;
    if (heap && (n > heap->limit || heap->live + HeapBlock(n + kBlockHeader) > heap->limit)) {
        heap->refused = true;
        return nullptr;
    }
    char* block = static_cast<char*>(malloc(n + kBlockHeader));
    if (!block)
        return nullptr;
    memcpy(block, &n, sizeof(n));
    if (heap)
        heap->live += HeapBlock(n + kBlockHeader);
    return block + kBlockHeader;
}

void CountedFree(void* p)
{
    if (!p)
        return;
    char* block = static_cast<char*>(p) - kBlockHeader;
    size_t n = 0;
    memcpy(&n, block, sizeof(n));
    ExpatHeap* heap = tCurrentHeap;
    if (heap)
        heap->live -= std::min(heap->live, HeapBlock(n + kBlockHeader));
    free(block);
}

void* CountedRealloc(void* p, size_t n)
{
    if (!p)
        return CountedMalloc(n);
    size_t old = 0;
    memcpy(&old, static_cast<char*>(p) - kBlockHeader, sizeof(old));
    void* grown = CountedMalloc(n);
    if (!grown)
        return nullptr;
    memcpy(grown, p, std::min(old, n));
    CountedFree(p);
    return grown;
}

const XML_Memory_Handling_Suite kCountedHeap = {CountedMalloc, CountedRealloc, CountedFree};

// TinyXML copies every value it is given; a text of megabytes is handed
// over instead, so that it is held once. The member is reached as a
// member of TiXmlNode, where it is declared.
struct NodeValue : TiXmlNode {
    static std::string TiXmlNode::*Member() { return &NodeValue::value; }
};

// Moves value into node's value, leaving value empty with no heap.
void TakeValue(TiXmlNode& node, std::string& value)
{
    (node.*NodeValue::Member()).swap(value);
    std::string().swap(value);
}

// Builds TinyXML nodes from Expat's events under the node given, counting
// as it goes; a bound passed stops Expat at once. Text is gathered until
// the next event, as TinyXML reads it up to the next markup.
class TreeBuilder {
public:
    TreeBuilder(XML_Parser parser, TiXmlNode& into, const KQXmlBounds& bounds, bool condense, ExpatHeap& heap)
        : parser(parser), current(&into), bounds(bounds), condense(condense), heap(heap)
    {
    }

    KQXmlShape shape;
    bool outOfMemory = false;

    static void XMLCALL StartElement(void* self, const XML_Char* name, const XML_Char** attributes)
    {
        static_cast<TreeBuilder*>(self)->Guard([&](TreeBuilder& b) { b.OnStart(name, attributes); });
    }
    static void XMLCALL EndElement(void* self, const XML_Char*)
    {
        static_cast<TreeBuilder*>(self)->Guard([](TreeBuilder& b) { b.OnEnd(); });
    }
    static void XMLCALL Characters(void* self, const XML_Char* s, int len)
    {
        static_cast<TreeBuilder*>(self)->Guard([&](TreeBuilder& b) { b.OnCharacters(s, len); });
    }
    static void XMLCALL StartCdata(void* self)
    {
        static_cast<TreeBuilder*>(self)->Guard([](TreeBuilder& b) {
            b.FlushText();
            b.inCdata = true;
        });
    }
    static void XMLCALL EndCdata(void* self)
    {
        static_cast<TreeBuilder*>(self)->Guard([](TreeBuilder& b) { b.OnEndCdata(); });
    }
    static void XMLCALL Comment(void* self, const XML_Char* data)
    {
        static_cast<TreeBuilder*>(self)->Guard([&](TreeBuilder& b) {
            b.FlushText();
            TiXmlComment* comment = new TiXmlComment();
            std::string value(data);
            TakeValue(*comment, value);
            b.Add(comment, sizeof(TiXmlComment));
        });
    }
    static void XMLCALL ProcessingInstruction(void* self, const XML_Char* target, const XML_Char* data)
    {
        // TinyXML keeps one as an unknown node holding what stands between
        // '<' and '>'.
        static_cast<TreeBuilder*>(self)->Guard([&](TreeBuilder& b) {
            b.FlushText();
            std::string value = std::string("?") + target;
            if (data && *data)
                value += std::string(" ") + data;
            value += "?";
            TiXmlUnknown* unknown = new TiXmlUnknown();
            unknown->SetValue(value);
            b.Add(unknown, sizeof(TiXmlUnknown));
        });
    }
    static void XMLCALL Declaration(void* self, const XML_Char* version, const XML_Char* encoding, int standalone)
    {
        static_cast<TreeBuilder*>(self)->Guard([&](TreeBuilder& b) {
            TiXmlDeclaration* declaration =
                new TiXmlDeclaration(version ? version : "", encoding ? encoding : "",
                                     standalone < 0 ? "" : (standalone ? "yes" : "no"));
            b.Add(declaration, sizeof(TiXmlDeclaration) + 2 * sizeof(std::string));
        });
    }
    // No DTD belongs in a package part: none is read, so no entity is ever
    // declared or expanded.
    static void XMLCALL DocumentType(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        static_cast<TreeBuilder*>(self)->Refuse(KQ_XML_DOCUMENT_TYPE);
    }
    static int XMLCALL ExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                                      const XML_Char*)
    {
        return XML_STATUS_ERROR;
    }

    // The text still gathered at the end belongs to no element: Expat
    // reports none outside the root.
    void Finish() { pending.clear(); }

private:
    XML_Parser parser;
    TiXmlNode* current;
    const KQXmlBounds& bounds;
    const bool condense;
    ExpatHeap& heap;
    int32 depth = 0;
    std::string pending;
    bool inCdata = false;
    bool stopped = false;

    template <typename F>
    void Guard(F&& f)
    {
        if (stopped)
            return;
        try {
            f(*this);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            Stop();
        }
    }

    void Stop()
    {
        if (!stopped) {
            stopped = true;
            XML_StopParser(parser, XML_FALSE);
        }
    }

    void Refuse(KQXmlVerdict verdict)
    {
        if (shape.verdict == KQ_XML_ADMITTED)
            shape.verdict = verdict;
        Stop();
    }

    // What the tree holds, what Expat holds and the text gathered must stay
    // within the bound together.
    bool WithinCost(uint64 more)
    {
        const uint64 total = shape.cost + more + heap.live + StringHeap(pending);
        if (total > bounds.cost) {
            Refuse(KQ_XML_TOO_COSTLY);
            return false;
        }
        heap.limit = bounds.cost - (total - heap.live);
        return true;
    }

    // Links a new node under the current one once its cost is counted;
    // over the bound it is let go.
    void Add(TiXmlNode* node, size_t size)
    {
        std::unique_ptr<TiXmlNode> owned(node);
        const uint64 cost = NodeHeap(*node, size);
        if (!WithinCost(cost))
            return;
        current->LinkEndChild(owned.release());
        shape.cost += cost;
        ++shape.others;
    }

    void OnStart(const XML_Char* name, const XML_Char** attributes)
    {
        FlushText();
        if (stopped)
            return;
        if (depth >= bounds.depth) {
            Refuse(KQ_XML_TOO_DEEP);
            return;
        }
        int32 count = 0;
        while (attributes[2 * count])
            ++count;
        if (count > bounds.attributes) {
            Refuse(KQ_XML_TOO_MANY_ATTRIBUTES);
            return;
        }
        // The name is handed over rather than copied: it may be megabytes.
        std::unique_ptr<TiXmlElement> element(new TiXmlElement(""));
        std::string value(name);
        TakeValue(*element, value);
        uint64 cost = NodeHeap(*element, sizeof(TiXmlElement));
        if (!WithinCost(cost))
            return;
        // Expat has refused a name given twice already. TinyXML looks each
        // new name up among the earlier ones: at most 256 make that cheap.
        for (int32 i = 0; i < count; ++i) {
            // Counted before it is made as well, as a long value is copied.
            const char* attributeName = attributes[2 * i];
            const char* value = attributes[2 * i + 1];
            if (!WithinCost(cost + HeapBlock(sizeof(TiXmlAttribute)) + HeapBlock(strlen(attributeName) + 1) +
                            HeapBlock(strlen(value) + 1)))
                return;
            element->SetAttribute(attributeName, value);
            const TiXmlAttribute* attribute = element->LastAttribute();
            cost += HeapBlock(sizeof(TiXmlAttribute)) + StringHeap(attribute->NameTStr()) +
                    StringHeap(attribute->ValueStr());
            if (!WithinCost(cost))
                return;
        }
        TiXmlElement* linked = element.get();
        current->LinkEndChild(element.release());
        current = linked;
        shape.cost += cost;
        ++shape.elements;
        shape.others += static_cast<uint64>(count);
        ++depth;
        if (depth > shape.depth)
            shape.depth = depth;
    }

    void OnEnd()
    {
        FlushText();
        if (stopped)
            return;
        current = current->Parent();
        --depth;
    }

    void OnCharacters(const XML_Char* s, int len)
    {
        const size_t before = pending.capacity();
        pending.append(s, static_cast<size_t>(len));
        if (pending.capacity() != before)
            WithinCost(0);
    }

    void OnEndCdata()
    {
        inCdata = false;
        TiXmlText* text = new TiXmlText("");
        text->SetCDATA(true);
        TakeValue(*text, pending);
        Add(text, sizeof(TiXmlText));
    }

    // Text between two pieces of markup, as TinyXML keeps it: dropped when
    // blank, condensed while the switch is on.
    void FlushText()
    {
        if (inCdata || pending.empty() || stopped)
            return;
        if (IsBlankText(pending)) {
            pending.clear();
            return;
        }
        std::string value;
        if (condense) {
            value.reserve(pending.size());
            bool space = false;
            for (unsigned char c : pending) {
                if (IsSpace(c)) {
                    space = !value.empty();
                    continue;
                }
                if (space)
                    value += ' ';
                space = false;
                value += static_cast<char>(c);
            }
            std::string().swap(pending);
        } else {
            value.swap(pending);
        }
        TiXmlText* text = new TiXmlText("");
        TakeValue(*text, value);
        Add(text, sizeof(TiXmlText));
    }
};

}  // namespace

KQXmlShape KQXmlParse(const char* text, size_t length, const KQXmlBounds& bounds, TiXmlNode& into)
{
    return KQXmlParse(text, length, bounds, into, TiXmlBase::IsWhiteSpaceCondensed());
}

KQXmlShape KQXmlParse(const char* text, size_t length, const KQXmlBounds& bounds, TiXmlNode& into, bool condense)
{
    KQXmlShape shape;
    if (!text)
        text = "";
    // The text is read up to its first NUL, as TinyXML read it.
    const void* nul = memchr(text, 0, length);
    if (nul)
        length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    if (length > bounds.bytes) {
        shape.verdict = KQ_XML_TOO_LARGE;
        return shape;
    }
    if (!IsUtf8(text, length)) {
        shape.verdict = KQ_XML_NOT_UTF8;
        return shape;
    }
    ExpatHeap heap;
    heap.limit = bounds.cost;
    ExpatHeap* const outer = tCurrentHeap;
    tCurrentHeap = &heap;
    // Whatever the declaration says, a part is read as UTF-8: the check
    // above made sure that it is.
    XML_Parser parser = XML_ParserCreate_MM("UTF-8", &kCountedHeap, nullptr);
    if (!parser) {
        tCurrentHeap = outer;
        shape.verdict = heap.refused ? KQ_XML_TOO_COSTLY : KQ_XML_NO_MEMORY;
        return shape;
    }
    TiXmlNode* const lastBefore = into.LastChild();
    TreeBuilder builder(parser, into, bounds, condense, heap);
    XML_SetUserData(parser, &builder);
    XML_SetElementHandler(parser, TreeBuilder::StartElement, TreeBuilder::EndElement);
    XML_SetCharacterDataHandler(parser, TreeBuilder::Characters);
    XML_SetCdataSectionHandler(parser, TreeBuilder::StartCdata, TreeBuilder::EndCdata);
    XML_SetCommentHandler(parser, TreeBuilder::Comment);
    XML_SetProcessingInstructionHandler(parser, TreeBuilder::ProcessingInstruction);
    XML_SetXmlDeclHandler(parser, TreeBuilder::Declaration);
    XML_SetStartDoctypeDeclHandler(parser, TreeBuilder::DocumentType);
    XML_SetExternalEntityRefHandler(parser, TreeBuilder::ExternalEntity);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    // No entity can be declared without a DTD; should one ever be, its
    // expansion stays within a small multiple of the text.
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser, 8.0f);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser, 1u << 20);

    // Expat parses with its own stack of open tags: no nesting recurses.
    const XML_Status status = XML_Parse(parser, text, static_cast<int>(length), XML_TRUE);
    builder.Finish();
    shape = builder.shape;
    if (status != XML_STATUS_OK && shape.verdict == KQ_XML_ADMITTED) {
        const XML_Error code = XML_GetErrorCode(parser);
        if (builder.outOfMemory)
            shape.verdict = KQ_XML_NO_MEMORY;
        else if (code == XML_ERROR_NO_MEMORY)
            shape.verdict = heap.refused ? KQ_XML_TOO_COSTLY : KQ_XML_NO_MEMORY;
        else {
            shape.verdict = KQ_XML_MALFORMED;
            shape.error = static_cast<int32>(code);
            shape.errorText = XML_ErrorString(code);
            shape.line = static_cast<uint64>(XML_GetCurrentLineNumber(parser));
            shape.column = static_cast<uint64>(XML_GetCurrentColumnNumber(parser)) + 1;
        }
    }
    XML_ParserFree(parser);
    tCurrentHeap = outer;
    if (shape.verdict != KQ_XML_ADMITTED) {
        // What was built of a part refused goes: the node keeps what it held.
        TiXmlNode* added = lastBefore ? lastBefore->NextSibling() : into.FirstChild();
        while (added) {
            TiXmlNode* next = added->NextSibling();
            into.RemoveChild(added);
            added = next;
        }
    }
    return shape;
}

KQString KQXmlVerdictText(const KQXmlShape& shape, const KQXmlBounds& bounds)
{
    switch (shape.verdict) {
    case KQ_XML_ADMITTED:
        return KQString();
    case KQ_XML_TOO_LARGE:
        return KQString::FromFormat("holds more than %d MiB", static_cast<int>(bounds.bytes >> 20));
    case KQ_XML_TOO_DEEP:
        return KQString::FromFormat("nests elements deeper than %d levels", static_cast<int>(bounds.depth));
    case KQ_XML_TOO_MANY_ATTRIBUTES:
        return KQString::FromFormat("gives an element more than %d attributes", static_cast<int>(bounds.attributes));
    case KQ_XML_TOO_COSTLY:
        return KQString::FromFormat("holds more elements and attributes than %d MiB take parsed",
                                    static_cast<int>(bounds.cost >> 20));
    case KQ_XML_DOCUMENT_TYPE:
        return KQString("holds a document type declaration");
    case KQ_XML_NOT_UTF8:
        return KQString("is not UTF-8");
    case KQ_XML_NO_MEMORY:
        return KQString("could not be parsed for want of memory");
    default:
        if (shape.errorText)
            return KQString::FromFormat("is not well-formed XML (%s at line %llu, column %llu)", shape.errorText,
                                        static_cast<unsigned long long>(shape.line),
                                        static_cast<unsigned long long>(shape.column));
        return KQString("is not well-formed XML");
    }
}

namespace {

bool IsNameByte(unsigned char c, bool first)
{
    if (c >= 0x80 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_' || c == ':')
        return true;
    return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.');
}

// A name that the parse takes back as it is; characters beyond ASCII are
// left to the parse that checks what is written.
bool IsName(const std::string& name)
{
    if (name.empty())
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (!IsNameByte(static_cast<unsigned char>(name[i]), i == 0))
            return false;
    return true;
}

// Characters that XML holds only as a reference (tab, line feed, carriage
// return) or not at all (the other controls).
bool IsControl(unsigned char c)
{
    return c < 32;
}

bool HoldsControl(const std::string& text, bool referable)
{
    for (unsigned char c : text)
        if (IsControl(c) && (!referable || (c != '\t' && c != '\n' && c != '\r')))
            return true;
    return false;
}

// Raw text (a comment, a CDATA section) keeps a tab and a line feed, but
// a carriage return is read back as a line feed.
bool RawTextFits(const std::string& text)
{
    for (unsigned char c : text)
        if (IsControl(c) && c != '\t' && c != '\n')
            return false;
    return true;
}

// What Expat takes for a declaration's value: letters, digits, '.', '_'
// and '-' (an empty version included).
bool IsDeclarationValue(const std::string& v)
{
    for (unsigned char c : v)
        if (!(((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

bool IsEncodingName(const std::string& e)
{
    return e.empty() || (((e[0] | 0x20) >= 'a' && (e[0] | 0x20) <= 'z') && IsDeclarationValue(e));
}

// An unknown node that the parse made of a processing instruction: "?",
// a target other than xml, then optionally a space and data, then "?".
bool IsInstruction(const std::string& value)
{
    if (value.size() < 3 || value.front() != '?' || value.back() != '?')
        return false;
    const std::string inner = value.substr(1, value.size() - 2);
    const size_t space = inner.find(' ');
    const std::string target = inner.substr(0, space);
    if (!IsName(target) || (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
                                (target[2] | 0x20) == 'l'))
        return false;
    if (space == std::string::npos)
        return true;
    const std::string data = inner.substr(space + 1);
    return !data.empty() && !IsSpace(static_cast<unsigned char>(data[0])) && data.find("?>") == std::string::npos &&
           RawTextFits(data);
}

// TinyXML's printer with a tab per level, up to KQ_XML_MOST_INDENT tabs,
// that stops before its text passes most bytes and refuses what the parse
// would not take back as the same node. Escapes are TinyXML's, except that
// "&#x" in a value is written as the text it is. The content of an element
// that mixes text with other nodes is written without line breaks or tabs,
// which would otherwise become part of its text.
class BoundedPrinter : public TiXmlVisitor {
public:
    BoundedPrinter(std::string& out, size_t most) : out(out), most(most) {}

    bool Over() const { return over; }
    const std::string& Unwritable() const { return unwritable; }

    bool VisitEnter(const TiXmlDocument&) override { return Going(); }
    bool VisitExit(const TiXmlDocument&) override { return Going(); }

    bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute* first) override
    {
        if (!IsName(element.ValueStr()))
            return Refuse("holds an element whose name cannot be written as XML");
        Indent();
        Put("<", 1);
        Put(element.ValueTStr());
        for (const TiXmlAttribute* a = first; a; a = a->Next()) {
            if (!IsName(a->NameTStr()))
                return Refuse("holds an attribute whose name cannot be written as XML");
            Put(" ", 1);
            Put(a->NameTStr());
            const bool single = a->ValueStr().find('"') != std::string::npos;
            Put(single ? "='" : "=\"", 2);
            Encode(a->ValueStr());
            Put(single ? "'" : "\"", 1);
        }
        const TiXmlNode* child = element.FirstChild();
        bool mixed = false;
        if (!child) {
            Put(" />", 3);
            Break();
        } else {
            Put(">", 1);
            if (child->ToText() && element.LastChild() == child && !child->ToText()->CDATA()) {
                simpleText = true;
            } else {
                for (const TiXmlNode* c = child; c && !mixed; c = c->NextSibling())
                    mixed = c->ToText() && !c->ToText()->CDATA();
                if (mixed)
                    ++inlined;
                else
                    Break();
            }
        }
        mixedStack.push_back(mixed);
        ++depth;
        return Going();
    }

    bool VisitExit(const TiXmlElement& element) override
    {
        --depth;
        const bool mixed = !mixedStack.empty() && mixedStack.back();
        if (!mixedStack.empty())
            mixedStack.pop_back();
        if (element.FirstChild()) {
            if (simpleText)
                simpleText = false;
            else if (mixed)
                --inlined;
            else
                Indent();
            Put("</", 2);
            Put(element.ValueTStr());
            Put(">", 1);
            Break();
        }
        return Going();
    }

    bool Visit(const TiXmlText& text) override
    {
        if (text.CDATA()) {
            if (text.ValueStr().find("]]>") != std::string::npos || !RawTextFits(text.ValueStr()))
                return Refuse("holds a CDATA section that cannot be written as XML");
            Indent();
            Put("<![CDATA[", 9);
            Put(text.ValueTStr());
            Put("]]>", 3);
            Break();
        } else if (simpleText) {
            Encode(text.ValueTStr());
        } else {
            Indent();
            Encode(text.ValueTStr());
            Break();
        }
        return Going();
    }

    bool Visit(const TiXmlDeclaration& declaration) override
    {
        const TiXmlNode* parent = declaration.Parent();
        const std::string standalone = declaration.Standalone();
        if (declaration.PreviousSibling() || (parent && !parent->ToDocument()) ||
            !IsDeclarationValue(declaration.Version()) || !IsEncodingName(declaration.Encoding()) ||
            (!standalone.empty() && standalone != "yes" && standalone != "no"))
            return Refuse("holds a declaration that cannot be written as XML");
        // TinyXML's form, but that a version is written even when empty:
        // a declaration cannot be read without one.
        Indent();
        std::string printed = std::string("<?xml version=\"") + declaration.Version() + "\" ";
        if (*declaration.Encoding())
            printed += std::string("encoding=\"") + declaration.Encoding() + "\" ";
        if (!standalone.empty())
            printed += "standalone=\"" + standalone + "\" ";
        printed += "?>";
        Put(printed);
        Break();
        return Going();
    }

    bool Visit(const TiXmlComment& comment) override
    {
        const std::string& value = comment.ValueStr();
        if (value.find("--") != std::string::npos || (!value.empty() && value.back() == '-') || !RawTextFits(value))
            return Refuse("holds a comment that cannot be written as XML");
        Indent();
        Put("<!--", 4);
        Put(comment.ValueTStr());
        Put("-->", 3);
        Break();
        return Going();
    }

    bool Visit(const TiXmlUnknown& unknown) override
    {
        if (!IsInstruction(unknown.ValueStr()))
            return Refuse("holds a node that cannot be written as XML");
        Indent();
        Put("<", 1);
        Put(unknown.ValueTStr());
        Put(">", 1);
        Break();
        return Going();
    }

private:
    std::string& out;
    const size_t most;
    int32 depth = 0;
    int32 inlined = 0;
    std::vector<bool> mixedStack;
    bool simpleText = false;
    bool over = false;
    std::string unwritable;

    bool Going() const { return !over && unwritable.empty(); }

    bool Refuse(const char* why)
    {
        if (unwritable.empty())
            unwritable = why;
        return false;
    }

    void Put(const char* text, size_t n)
    {
        if (over || n > most - out.size()) {
            over = true;
            return;
        }
        out.append(text, n);
    }

    void Put(const std::string& text) { Put(text.data(), text.size()); }

    void Indent()
    {
        if (inlined > 0)
            return;
        for (int32 i = 0; i < depth && i < KQ_XML_MOST_INDENT; ++i)
            Put("\t", 1);
    }

    void Break()
    {
        if (inlined == 0)
            Put("\n", 1);
    }

    // Escapes a piece at a time, so that one long value is never held
    // escaped whole.
    void Encode(const std::string& s)
    {
        if (HoldsControl(s, true)) {
            Refuse("holds text with a character that cannot be written as XML");
            return;
        }
        std::string escaped;
        const size_t piece = 65536;
        for (size_t at = 0; at < s.size() && Going(); at += piece) {
            escaped.clear();
            const size_t end = std::min(s.size(), at + piece);
            for (size_t i = at; i < end; ++i) {
                const unsigned char c = static_cast<unsigned char>(s[i]);
                switch (c) {
                case '&':
                    escaped += "&amp;";
                    break;
                case '<':
                    escaped += "&lt;";
                    break;
                case '>':
                    escaped += "&gt;";
                    break;
                case '"':
                    escaped += "&quot;";
                    break;
                case '\'':
                    escaped += "&apos;";
                    break;
                default:
                    if (IsControl(c)) {
                        char reference[8];
                        snprintf(reference, sizeof(reference), "&#x%02X;", static_cast<unsigned>(c));
                        escaped += reference;
                    } else {
                        escaped += static_cast<char>(c);
                    }
                }
            }
            Put(escaped);
        }
    }
};

// Children as the parse of their printed text gives them back: a text that
// is empty or blank is not read again.
const TiXmlNode* NextKept(const TiXmlNode* node, bool skipBlank)
{
    while (node && skipBlank && node->ToText() && !node->ToText()->CDATA() && IsBlankText(node->ValueStr()))
        node = node->NextSibling();
    return node;
}

bool SameNode(const TiXmlNode& a, const TiXmlNode& b, int32 level)
{
    if (a.Type() != b.Type() || level > 1024)
        return false;
    switch (a.Type()) {
    case TiXmlNode::TINYXML_ELEMENT: {
        if (a.ValueStr() != b.ValueStr())
            return false;
        const TiXmlAttribute* x = a.ToElement()->FirstAttribute();
        const TiXmlAttribute* y = b.ToElement()->FirstAttribute();
        for (; x && y; x = x->Next(), y = y->Next())
            if (x->NameTStr() != y->NameTStr() || x->ValueStr() != y->ValueStr())
                return false;
        if (x || y)
            return false;
        break;
    }
    case TiXmlNode::TINYXML_TEXT:
        return a.ValueStr() == b.ValueStr() && a.ToText()->CDATA() == b.ToText()->CDATA();
    case TiXmlNode::TINYXML_DECLARATION: {
        const TiXmlDeclaration* x = a.ToDeclaration();
        const TiXmlDeclaration* y = b.ToDeclaration();
        return strcmp(x->Version(), y->Version()) == 0 && strcmp(x->Encoding(), y->Encoding()) == 0 &&
               strcmp(x->Standalone(), y->Standalone()) == 0;
    }
    case TiXmlNode::TINYXML_DOCUMENT:
        break;
    default:
        return a.ValueStr() == b.ValueStr();
    }
    const TiXmlNode* x = NextKept(a.FirstChild(), true);
    const TiXmlNode* y = b.FirstChild();
    for (; x && y; x = NextKept(x->NextSibling(), true), y = y->NextSibling())
        if (!SameNode(*x, *y, level + 1))
            return false;
    return !x && !y;
}

}  // namespace

bool KQXmlPrint(const TiXmlNode& node, std::string& text, size_t most, bool* tooLarge, std::string* unwritable)
{
    if (tooLarge)
        *tooLarge = false;
    if (unwritable)
        unwritable->clear();
    text.clear();
    try {
        BoundedPrinter printer(text, most);
        node.Accept(&printer);
        if (!printer.Unwritable().empty()) {
            text.clear();
            if (unwritable)
                *unwritable = printer.Unwritable();
            return false;
        }
        if (tooLarge)
            *tooLarge = printer.Over();
        return !printer.Over();
    } catch (const std::bad_alloc&) {
        text.clear();
        return false;
    }
}

bool KQXmlSameTree(const TiXmlNode& written, const TiXmlNode& read)
{
    return SameNode(written, read, 0);
}
