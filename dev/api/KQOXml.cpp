// XML documents and elements over TinyXML.
#include "KQOXml.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

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

// TinyXML's white space: isspace of the C locale.
bool IsSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// TinyXML takes every byte from 127 up for a letter.
bool IsNameStart(unsigned char c)
{
    return c >= 127 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_';
}

bool IsNameChar(unsigned char c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}

bool StartsWith(const char* p, const char* with, bool anyCase)
{
    for (; *with; ++p, ++with) {
        unsigned char a = static_cast<unsigned char>(*p);
        unsigned char b = static_cast<unsigned char>(*with);
        if (anyCase && a >= 'A' && a <= 'Z')
            a = static_cast<unsigned char>(a | 0x20);
        if (a != b)
            return false;
    }
    return true;
}

// Bytes that TinyXML may step over as one character: a lead byte and the
// continuation bytes it announces. 0 for a byte that leads no sequence.
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

// One pass over a part as TinyXML would split it, with the nesting kept as a
// count instead of a recursion. Each step leaves p where TinyXML would go
// on, or refuses.
class ShapeScan {
public:
    ShapeScan(const char* text, size_t length, const KQXmlBounds& bounds) : p(text), bounds(bounds)
    {
        shape.cost = length;
    }

    KQXmlShape Run()
    {
        int32 depth = 0;
        for (;;) {
            SkipSpace();
            if (depth == 0) {
                // Outside the root TinyXML stops at the end or at anything
                // that is not markup.
                if (*p != '<' || !Markup(depth))
                    break;
                continue;
            }
            // The end inside an element, or anything cut short by it, is
            // TinyXML's to report: everything before has been looked over.
            if (!*p)
                break;
            if (*p != '<') {
                // Text runs to the next markup; the UTF-8 check made sure
                // that no step over a character passes a '<'.
                if (!Node(false))
                    break;
                while (*p && *p != '<')
                    ++p;
                continue;
            }
            if (p[1] == '/') {
                p += 2;
                if (!ReadName()) {
                    Malformed();
                    break;
                }
                SkipSpace();
                if (*p != '>') {
                    Malformed();
                    break;
                }
                ++p;
                --depth;
                continue;
            }
            if (!Markup(depth))
                break;
        }
        return shape;
    }

private:
    const char* p;
    const KQXmlBounds& bounds;
    KQXmlShape shape;
    std::vector<std::string_view> names;
    std::unordered_set<std::string_view> nameSet;

    bool Refuse(KQXmlVerdict verdict)
    {
        if (shape.verdict == KQ_XML_ADMITTED)
            shape.verdict = verdict;
        return false;
    }

    // Stops at what TinyXML would refuse; at the end there is nothing left
    // to look over, and TinyXML reports what was cut short itself.
    bool Malformed() { return *p ? Refuse(KQ_XML_MALFORMED) : false; }

    bool Node(bool element)
    {
        if (element)
            ++shape.elements;
        else
            ++shape.others;
        shape.cost += element ? 256 : 192;
        return shape.cost <= bounds.cost || Refuse(KQ_XML_TOO_COSTLY);
    }

    // TinyXML skips, besides white space, the byte-order mark and the two
    // non-characters after it when it reads UTF-8; skipping them here too
    // never hides markup that TinyXML sees.
    void SkipSpace()
    {
        for (;;) {
            const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
            if (u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF))))
                p += 3;
            else if (IsSpace(u[0]))
                ++p;
            else
                return;
        }
    }

    bool ReadName()
    {
        if (!IsNameStart(static_cast<unsigned char>(*p)))
            return false;
        while (IsNameChar(static_cast<unsigned char>(*p)))
            ++p;
        return true;
    }

    // Skips past the first end after p (searched from p on); false when
    // there is none, with p at the end.
    bool SkipPast(const char* end)
    {
        const size_t n = strlen(end);
        while (*p && strncmp(p, end, n) != 0)
            ++p;
        if (!*p)
            return false;
        p += n;
        return true;
    }

    // Markup at '<' (an end tag in an element is taken by the caller). An
    // element entered raises depth. A node cut short by the end ends the
    // look as it ends TinyXML's parse.
    bool Markup(int32& depth)
    {
        if (StartsWith(p, "<?xml", true))
            return Declaration();
        if (StartsWith(p, "<!--", false)) {
            p += 4;
            return Node(false) && SkipPast("-->");
        }
        if (StartsWith(p, "<![CDATA[", false)) {
            p += 9;
            return Node(false) && SkipPast("]]>");
        }
        if (StartsWith(p, "<!", false))
            return Refuse(KQ_XML_DOCUMENT_TYPE);
        if (IsNameStart(static_cast<unsigned char>(p[1])))
            return Element(depth);
        // Anything else TinyXML keeps as an unknown node up to the first '>'.
        ++p;
        return Node(false) && SkipPast(">");
    }

    bool Element(int32& depth)
    {
        ++p;
        ReadName();
        if (!Node(true))
            return false;
        if (depth >= bounds.depth)
            return Refuse(KQ_XML_TOO_DEEP);
        if (depth + 1 > shape.depth)
            shape.depth = depth + 1;
        names.clear();
        // Clearing a set costs its buckets: only one that was used is.
        if (!nameSet.empty())
            nameSet.clear();
        for (;;) {
            SkipSpace();
            if (!*p)
                return false;
            if (*p == '/') {
                ++p;
                if (*p != '>')
                    return Malformed();
                ++p;
                return true;
            }
            if (*p == '>') {
                ++p;
                ++depth;
                return true;
            }
            if (!Attribute())
                return false;
        }
    }

    bool Attribute()
    {
        const char* name = p;
        if (!ReadName())
            return Malformed();
        const std::string_view key(name, static_cast<size_t>(p - name));
        SkipSpace();
        if (*p != '=')
            return Malformed();
        ++p;
        SkipSpace();
        if (*p == '"' || *p == '\'') {
            const char quote[2] = {*p, 0};
            ++p;
            if (!SkipPast(quote))
                return Malformed();
        } else {
            // TinyXML reads a value without quotes up to white space or the
            // end of the tag, and refuses a quote in it.
            for (; *p && !IsSpace(static_cast<unsigned char>(*p)) && *p != '/' && *p != '>'; ++p) {
                if (*p == '"' || *p == '\'')
                    return Malformed();
            }
        }
        if (!*p)
            return Malformed();
        if (!Node(false))
            return false;
        if (names.size() >= static_cast<size_t>(bounds.attributes))
            return Refuse(KQ_XML_TOO_MANY_ATTRIBUTES);
        // A few are compared in turn; past that a set answers at once.
        const size_t kListed = 16;
        if (names.size() < kListed) {
            for (const std::string_view& earlier : names) {
                if (earlier == key)
                    return Refuse(KQ_XML_DUPLICATE_ATTRIBUTE);
            }
            names.push_back(key);
            if (names.size() == kListed)
                nameSet.insert(names.begin(), names.end());
            return true;
        }
        if (!nameSet.insert(key).second)
            return Refuse(KQ_XML_DUPLICATE_ATTRIBUTE);
        names.push_back(key);
        return true;
    }

    // The declaration as TinyXML reads it: up to the first '>' outside the
    // quoted values of version, encoding and standalone. Only ASCII is
    // admitted in it, so that it ends in the same place whatever encoding
    // TinyXML reads it in.
    bool Declaration()
    {
        if (!Node(false))
            return false;
        p += 5;
        while (*p) {
            if (*p == '>') {
                ++p;
                return true;
            }
            if (!SkipAscii())
                return false;
            if (StartsWith(p, "version", true) || StartsWith(p, "encoding", true) ||
                StartsWith(p, "standalone", true)) {
                while (IsNameChar(static_cast<unsigned char>(*p)))
                    if (!Ascii(*p++))
                        return false;
                if (!SkipAscii())
                    return false;
                if (*p != '=')
                    return Malformed();
                ++p;
                if (!SkipAscii())
                    return false;
                if (*p == '"' || *p == '\'') {
                    const char quote = *p++;
                    for (; *p && *p != quote; ++p)
                        if (!Ascii(*p))
                            return false;
                    if (!*p)
                        return Malformed();
                    ++p;
                } else {
                    for (; *p && !IsSpace(static_cast<unsigned char>(*p)) && *p != '/' && *p != '>'; ++p) {
                        if (*p == '"' || *p == '\'' || !Ascii(*p))
                            return Malformed();
                    }
                }
            } else {
                for (; *p && *p != '>' && !IsSpace(static_cast<unsigned char>(*p)); ++p)
                    if (!Ascii(*p))
                        return false;
            }
        }
        return Malformed();
    }

    bool Ascii(char c) { return static_cast<unsigned char>(c) < 127 || Refuse(KQ_XML_MALFORMED); }

    bool SkipAscii()
    {
        while (IsSpace(static_cast<unsigned char>(*p)))
            ++p;
        return Ascii(*p);
    }
};

}  // namespace

KQXmlShape KQXmlLookOver(const char* text, size_t length, const KQXmlBounds& bounds)
{
    KQXmlShape shape;
    if (!text)
        text = "";
    // TinyXML reads up to the first NUL.
    const void* nul = memchr(text, 0, length);
    if (nul)
        length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    shape.cost = length;
    if (length > bounds.bytes) {
        shape.verdict = KQ_XML_TOO_LARGE;
        return shape;
    }
    for (size_t i = 0; i < length;) {
        const int n = SequenceLength(static_cast<unsigned char>(text[i]));
        bool whole = n > 0 && i + static_cast<size_t>(n) <= length;
        for (int k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!whole) {
            shape.verdict = KQ_XML_NOT_UTF8;
            return shape;
        }
        i += static_cast<size_t>(n);
    }
    return ShapeScan(text, length, bounds).Run();
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
    case KQ_XML_DUPLICATE_ATTRIBUTE:
        return KQString("gives an element the same attribute twice");
    case KQ_XML_TOO_COSTLY:
        return KQString::FromFormat("holds more elements and attributes than %d MiB take parsed",
                                    static_cast<int>(bounds.cost >> 20));
    case KQ_XML_DOCUMENT_TYPE:
        return KQString("holds a document type declaration");
    case KQ_XML_NOT_UTF8:
        return KQString("is not UTF-8");
    default:
        return KQString("is not well-formed XML");
    }
}

namespace {

// TinyXML's printer with a tab per level, up to KQ_XML_MOST_INDENT tabs,
// that stops before its text passes most bytes.
class BoundedPrinter : public TiXmlVisitor {
public:
    BoundedPrinter(std::string& out, size_t most) : out(out), most(most) {}

    bool Over() const { return over; }

    bool VisitEnter(const TiXmlDocument&) override { return !over; }
    bool VisitExit(const TiXmlDocument&) override { return !over; }

    bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute* first) override
    {
        Indent();
        Put("<", 1);
        Put(element.ValueTStr());
        for (const TiXmlAttribute* a = first; a; a = a->Next()) {
            Put(" ", 1);
            Encode(a->NameTStr());
            const bool single = a->ValueStr().find('"') != std::string::npos;
            Put(single ? "='" : "=\"", 2);
            Encode(a->ValueStr());
            Put(single ? "'" : "\"", 1);
        }
        const TiXmlNode* child = element.FirstChild();
        if (!child) {
            Put(" />", 3);
            Put("\n", 1);
        } else {
            Put(">", 1);
            if (child->ToText() && element.LastChild() == child && !child->ToText()->CDATA())
                simpleText = true;
            else
                Put("\n", 1);
        }
        ++depth;
        return !over;
    }

    bool VisitExit(const TiXmlElement& element) override
    {
        --depth;
        if (element.FirstChild()) {
            if (simpleText)
                simpleText = false;
            else
                Indent();
            Put("</", 2);
            Put(element.ValueTStr());
            Put(">\n", 2);
        }
        return !over;
    }

    bool Visit(const TiXmlText& text) override
    {
        if (text.CDATA()) {
            Indent();
            Put("<![CDATA[", 9);
            Put(text.ValueTStr());
            Put("]]>\n", 4);
        } else if (simpleText) {
            Encode(text.ValueTStr());
        } else {
            Indent();
            Encode(text.ValueTStr());
            Put("\n", 1);
        }
        return !over;
    }

    bool Visit(const TiXmlDeclaration& declaration) override
    {
        Indent();
        std::string printed;
        declaration.Print(nullptr, 0, &printed);
        Put(printed);
        Put("\n", 1);
        return !over;
    }

    bool Visit(const TiXmlComment& comment) override
    {
        Indent();
        Put("<!--", 4);
        Put(comment.ValueTStr());
        Put("-->\n", 4);
        return !over;
    }

    bool Visit(const TiXmlUnknown& unknown) override
    {
        Indent();
        Put("<", 1);
        Put(unknown.ValueTStr());
        Put(">\n", 2);
        return !over;
    }

private:
    std::string& out;
    const size_t most;
    int32 depth = 0;
    bool simpleText = false;
    bool over = false;

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
        for (int32 i = 0; i < depth && i < KQ_XML_MOST_INDENT; ++i)
            Put("\t", 1);
    }

    // TinyXML's own escaping, a piece at a time so that one long value
    // is never held escaped whole (TinyXML's escapes each byte on its own,
    // so the pieces join to the text it would print).
    void Encode(const std::string& s)
    {
        const size_t piece = 65536;
        std::string escaped;
        for (size_t at = 0; at < s.size() && !over; at += piece) {
            escaped.clear();
            TiXmlBase::EncodeString(s.substr(at, piece), &escaped);
            Put(escaped);
        }
    }
};

}  // namespace

bool KQXmlPrint(const TiXmlNode& node, std::string& text, size_t most, bool* tooLarge)
{
    if (tooLarge)
        *tooLarge = false;
    text.clear();
    try {
        BoundedPrinter printer(text, most);
        node.Accept(&printer);
        if (tooLarge)
            *tooLarge = printer.Over();
        return !printer.Over();
    } catch (const std::bad_alloc&) {
        text.clear();
        return false;
    }
}
