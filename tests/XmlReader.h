// A small XML reader for the tests: checks that a document is well-formed XML 1.0 (in
// UTF-8) and gives its elements as a tree, with each element's namespace resolved. Enough
// for the documents the program carries (its application manifest); it reads no document
// type declaration and refuses one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace xmltest {

struct XmlElement {
    std::string Prefix;     // as written before the colon; empty when none
    std::string LocalName;  // the name after the prefix
    std::string Namespace;  // the namespace the prefix (or the default) stands for
    // The attributes in document order: the qualified name as written and the value with
    // its references replaced. Namespace declarations (xmlns, xmlns:p) are among them.
    std::vector<std::pair<std::string, std::string>> Attributes;
    std::vector<std::unique_ptr<XmlElement>> Children;
    std::size_t Line = 0;  // where its start tag begins

    // The attribute's value, or null when the element has none of that qualified name.
    const std::string* Attribute(const std::string& Name) const {
        for (const auto& a : Attributes)
            if (a.first == Name) return &a.second;
        return nullptr;
    }
    // The children of a namespace and local name, in order.
    std::vector<const XmlElement*> ChildrenNamed(const std::string& Ns, const std::string& Local) const {
        std::vector<const XmlElement*> out;
        for (const auto& c : Children)
            if (c->Namespace == Ns && c->LocalName == Local) out.push_back(c.get());
        return out;
    }
};

// A document that is not well-formed: what is wrong and on which line.
class XmlError : public std::runtime_error {
public:
    XmlError(const std::string& What, std::size_t Line)
        : std::runtime_error("line " + std::to_string(Line) + ": " + What) {}
};

namespace detail {

class Parser {
public:
    explicit Parser(const std::string& Text) : s_(Text) {}

    std::unique_ptr<XmlElement> Document() {
        CheckCharacters();
        if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;  // a UTF-8 byte-order mark
        if (Ahead("<?xml") && pos_ + 5 < s_.size() && IsSpace(s_[pos_ + 5])) Declaration();
        Misc();
        if (Ahead("<!DOCTYPE")) Fail("a document type declaration, which this reader does not take");
        if (!Ahead("<")) Fail("no root element");
        std::unique_ptr<XmlElement> root = Element({{"xml", "http://www.w3.org/XML/1998/namespace"}, {"", ""}});
        Misc();
        if (pos_ != s_.size()) Fail("content after the root element");
        return root;
    }

private:
    using Scope = std::map<std::string, std::string>;  // prefix -> namespace; "" the default

    [[noreturn]] void Fail(const std::string& What) const { throw XmlError(What, line_); }

    bool Ahead(const char* Text) const { return s_.compare(pos_, std::char_traits<char>::length(Text), Text) == 0; }
    bool AtEnd() const { return pos_ >= s_.size(); }
    char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
    void Advance(std::size_t n = 1) {
        for (std::size_t i = 0; i < n && pos_ < s_.size(); ++i, ++pos_)
            if (s_[pos_] == '\n') ++line_;
    }
    void Expect(const char* Text, const char* What) {
        if (!Ahead(Text)) Fail(std::string("expected ") + What);
        Advance(std::char_traits<char>::length(Text));
    }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    bool SkipSpace() {
        const std::size_t start = pos_;
        while (!AtEnd() && IsSpace(Peek())) Advance();
        return pos_ != start;
    }

    // Every byte sequence is UTF-8 of a character XML allows: no control characters but
    // tab, CR and LF; no surrogates; nothing above U+10FFFF; no U+FFFE or U+FFFF.
    void CheckCharacters() {
        std::size_t line = 1;
        for (std::size_t i = 0; i < s_.size();) {
            const auto b = static_cast<unsigned char>(s_[i]);
            std::uint32_t cp = 0;
            std::size_t n = 0;
            if (b < 0x80) { cp = b; n = 1; }
            else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; n = 2; }
            else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; n = 3; }
            else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; n = 4; }
            else throw XmlError("a byte that is not UTF-8", line);
            if (i + n > s_.size()) throw XmlError("a UTF-8 sequence cut short", line);
            for (std::size_t k = 1; k < n; ++k) {
                const auto c = static_cast<unsigned char>(s_[i + k]);
                if ((c & 0xC0) != 0x80) throw XmlError("a byte that is not UTF-8", line);
                cp = (cp << 6) | (c & 0x3F);
            }
            const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            if (cp < least[n]) throw XmlError("an overlong UTF-8 sequence", line);
            if (!IsXmlChar(cp)) throw XmlError("a character XML does not allow", line);
            if (cp == '\n') ++line;
            i += n;
        }
    }
    static bool IsXmlChar(std::uint32_t cp) {
        return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
               (cp >= 0x10000 && cp <= 0x10FFFF);
    }

    // Names: ASCII letters, "_" and ":" first, then also digits, "-" and "."; any
    // character beyond ASCII is taken as a name character.
    static bool IsNameStart(char c) {
        const auto u = static_cast<unsigned char>(c);
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || u >= 0x80;
    }
    static bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
    std::string Name(const char* What) {
        if (!IsNameStart(Peek())) Fail(std::string("expected ") + What);
        const std::size_t start = pos_;
        while (!AtEnd() && IsNameChar(Peek())) Advance();
        return s_.substr(start, pos_ - start);
    }

    // "<?xml" VersionInfo EncodingDecl? SDDecl? S? "?>"
    void Declaration() {
        Advance(5);
        std::vector<std::pair<std::string, std::string>> pseudo;
        for (;;) {
            const bool space = SkipSpace();
            if (Ahead("?>")) break;
            if (!space) Fail("expected a blank between the declaration's parts");
            const std::string name = Name("a part of the XML declaration");
            SkipSpace();
            Expect("=", "\"=\" in the XML declaration");
            SkipSpace();
            pseudo.emplace_back(name, QuotedLiteral());
        }
        Advance(2);
        static const char* const order[] = {"version", "encoding", "standalone"};
        std::size_t next = 0;
        for (const auto& p : pseudo) {
            while (next < 3 && p.first != order[next]) ++next;
            if (next == 3) Fail("\"" + p.first + "\" out of place in the XML declaration");
            ++next;
        }
        if (pseudo.empty() || pseudo[0].first != "version") Fail("an XML declaration without a version");
        if (pseudo[0].second.size() < 3 || pseudo[0].second.compare(0, 2, "1.") != 0) Fail("an XML version other than 1.x");
        for (const auto& p : pseudo) {
            if (p.first == "encoding") {
                std::string e;
                for (char c : p.second) e += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
                if (e != "utf-8") Fail("an encoding other than UTF-8: " + p.second);
            }
            if (p.first == "standalone" && p.second != "yes" && p.second != "no") Fail("standalone neither yes nor no");
        }
    }
    std::string QuotedLiteral() {
        const char q = Peek();
        if (q != '"' && q != '\'') Fail("expected a quoted value");
        Advance();
        const std::size_t end = s_.find(q, pos_);
        if (end == std::string::npos) Fail("a quoted value without its end");
        std::string v = s_.substr(pos_, end - pos_);
        Advance(end - pos_ + 1);
        return v;
    }

    // Comments, processing instructions and blanks.
    void Misc() {
        for (;;) {
            SkipSpace();
            if (Ahead("<!--")) Comment();
            else if (Ahead("<?")) ProcessingInstruction();
            else return;
        }
    }
    void Comment() {
        Advance(4);
        const std::size_t end = s_.find("--", pos_);
        if (end == std::string::npos) Fail("a comment without its end");
        if (end + 2 >= s_.size() || s_[end + 2] != '>') Fail("\"--\" inside a comment");
        Advance(end + 3 - pos_);
    }
    void ProcessingInstruction() {
        Advance(2);
        const std::string target = Name("a processing instruction's target");
        std::string lower;
        for (char c : target) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (lower == "xml") Fail("an XML declaration that is not at the start of the document");
        const std::size_t end = s_.find("?>", pos_);
        if (end == std::string::npos) Fail("a processing instruction without its end");
        if (end != pos_ && !IsSpace(Peek())) Fail("a processing instruction's target without a blank after it");
        Advance(end + 2 - pos_);
    }

    // "&name;", "&#n;" or "&#xh;" at the position: appends what it stands for.
    void Reference(std::string& Out) {
        Advance();
        if (Peek() == '#') {
            Advance();
            const bool hex = Peek() == 'x';
            if (hex) Advance();
            std::uint32_t cp = 0;
            std::size_t digits = 0;
            while (!AtEnd() && Peek() != ';') {
                const char c = Peek();
                int d = -1;
                if (c >= '0' && c <= '9') d = c - '0';
                else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
                if (d < 0) Fail("a character reference with a wrong digit");
                cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
                if (cp > 0x10FFFF) Fail("a character reference beyond Unicode");
                ++digits;
                Advance();
            }
            if (AtEnd() || digits == 0) Fail("a character reference without its end");
            if (!IsXmlChar(cp)) Fail("a character reference to a character XML does not allow");
            Advance();
            AppendUtf8(Out, cp);
            return;
        }
        const std::string name = Name("an entity name after \"&\"");
        if (Peek() != ';') Fail("an entity reference without its \";\"");
        Advance();
        static const std::map<std::string, char> known = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
        const auto it = known.find(name);
        if (it == known.end()) Fail("a reference to an undeclared entity &" + name + ";");
        Out += it->second;
    }
    static void AppendUtf8(std::string& Out, std::uint32_t cp) {
        if (cp < 0x80) {
            Out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            Out += static_cast<char>(0xC0 | (cp >> 6));
            Out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            Out += static_cast<char>(0xE0 | (cp >> 12));
            Out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            Out += static_cast<char>(0xF0 | (cp >> 18));
            Out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            Out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string AttributeValue() {
        const char q = Peek();
        if (q != '"' && q != '\'') Fail("an attribute value without quotes");
        Advance();
        std::string v;
        for (;;) {
            if (AtEnd()) Fail("an attribute value without its end");
            const char c = Peek();
            if (c == q) break;
            if (c == '<') Fail("\"<\" inside an attribute value");
            if (c == '&') {
                Reference(v);
                continue;
            }
            // Blanks are normalised to spaces, as an XML reader must.
            v += IsSpace(c) ? ' ' : c;
            Advance();
        }
        Advance();
        return v;
    }

    static std::pair<std::string, std::string> Split(const std::string& Qualified) {
        const std::size_t colon = Qualified.find(':');
        if (colon == std::string::npos) return {"", Qualified};
        return {Qualified.substr(0, colon), Qualified.substr(colon + 1)};
    }

    std::unique_ptr<XmlElement> Element(Scope Outer) {
        auto e = std::make_unique<XmlElement>();
        e->Line = line_;
        Advance();  // "<"
        const std::string qualified = Name("an element name");
        // Attributes, each preceded by a blank, names unique.
        bool empty = false;
        for (;;) {
            const bool space = SkipSpace();
            if (Ahead("/>")) {
                Advance(2);
                empty = true;
                break;
            }
            if (Ahead(">")) {
                Advance();
                break;
            }
            if (AtEnd()) Fail("a start tag without its end");
            if (!space) Fail("expected a blank before an attribute");
            const std::string name = Name("an attribute name");
            SkipSpace();
            Expect("=", "\"=\" after an attribute name");
            SkipSpace();
            const std::string value = AttributeValue();
            if (e->Attribute(name)) Fail("the attribute " + name + " twice on one element");
            e->Attributes.emplace_back(name, value);
        }
        // Namespace declarations of this element, then its own name's namespace.
        Scope scope = std::move(Outer);
        for (const auto& a : e->Attributes) {
            if (a.first == "xmlns") {
                scope[""] = a.second;
            } else if (a.first.compare(0, 6, "xmlns:") == 0) {
                if (a.second.empty()) Fail("an empty namespace for the prefix " + a.first.substr(6));
                scope[a.first.substr(6)] = a.second;
            }
        }
        const auto [prefix, local] = Split(qualified);
        if (qualified.front() == ':' || local.empty() || local.find(':') != std::string::npos)
            Fail("a malformed qualified name " + qualified);
        const auto ns = scope.find(prefix);
        if (ns == scope.end()) Fail("the undeclared prefix " + prefix);
        e->Prefix = prefix;
        e->LocalName = local;
        e->Namespace = ns->second;
        for (const auto& a : e->Attributes) {
            const auto [ap, al] = Split(a.first);
            if (!ap.empty() && ap != "xmlns" && scope.find(ap) == scope.end()) Fail("the undeclared prefix " + ap);
        }
        if (empty) return e;
        // Content up to the matching end tag.
        for (;;) {
            if (AtEnd()) Fail("the element " + qualified + " without its end tag");
            if (Ahead("</")) {
                Advance(2);
                const std::string closing = Name("an end tag's name");
                if (closing != qualified) Fail("the end tag " + closing + " where " + qualified + " ends");
                SkipSpace();
                Expect(">", "\">\" closing an end tag");
                return e;
            }
            if (Ahead("<!--")) Comment();
            else if (Ahead("<![CDATA[")) {
                const std::size_t end = s_.find("]]>", pos_);
                if (end == std::string::npos) Fail("a CDATA section without its end");
                Advance(end + 3 - pos_);
            } else if (Ahead("<?")) ProcessingInstruction();
            else if (Ahead("<!")) Fail("markup that is not allowed inside an element");
            else if (Ahead("<")) e->Children.push_back(Element(scope));
            else if (Ahead("]]>")) Fail("\"]]>\" in character data");
            else if (Peek() == '&') {
                std::string ignored;
                Reference(ignored);
            } else Advance();
        }
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

}  // namespace detail

// The document's root element; XmlError when the text is not well-formed.
inline std::unique_ptr<XmlElement> ParseXml(const std::string& Text) { return detail::Parser(Text).Document(); }

}  // namespace xmltest
