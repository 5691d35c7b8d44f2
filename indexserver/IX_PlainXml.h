#pragma once

#include "indexserver/IX_ReadGuard.h"

#include <QByteArrayView>
#include <QHashFunctions>
#include <QString>

#include <array>
#include <cstring>
#include <initializer_list>
#include <vector>

// Bounds on the shape of any document either reader sees. Far beyond what
// servers write; they keep the full XML reader, which compares each
// attribute with all earlier ones and looks a prefix up through every
// declaration in force, within a small factor of its time per byte.
constexpr int MaxAttributesPerElement = 256;
constexpr int MaxNamespacesInScope = 256;

// What a document type declaration may bring. A SOAP message may carry
// none at all; a WSDL document no internal subset: entity declarations
// multiply text and hide markup, attribute list declarations add
// attributes, and neither is seen by a pass over the bytes.
enum class TDoctypeRule { Refuse, RefuseInternalSubset };

// A pass over the bytes before either reader runs: throws EFailure with a
// German message for a document type declaration that rule refuses, an
// element beyond MaxAttributesPerElement or a point where more than
// MaxNamespacesInScope declarations are in force. Anything else,
// well-formed or not, is left to the readers. bytes must be as
// AsUtf8Document gives them. Returns the number of start tags it passed,
// for a reader to reserve its element table at once.
qsizetype CheckXmlShape(QByteArrayView bytes, TReadTicker &ticker, TDoctypeRule rule);

// The document as UTF-8, so that the pass above sees the characters the
// readers read: a body in UTF-16 or UTF-32 (by its byte order mark or its
// first character) is converted and its declaration's encoding blanked
// out, keeping every column; a UTF-8 body is returned as it is (shared,
// not copied). Throws EFailure with a German message for an encoding other
// than UTF-8, UTF-16, UTF-32, US-ASCII, ISO-8859-n and windows-125n (the
// readers would decode characters that no pass over the bytes can see)
// and for a UTF-16 or UTF-32 body that is not correctly encoded.
QByteArray AsUtf8Document(const QByteArray &bytes);

// Whether two of a start tag's items are the same: pairwise for a few, by
// a seeded hash table beyond, so that thousands of attributes cost no more
// than their bytes. take(i) says whether item i counts at all.
class TDuplicateCheck {
public:
    template <class TTake, class THash, class TSame>
    bool Any(qsizetype count, const TTake &take, const THash &hash, const TSame &same)
    {
        if (count <= 8) {
            for (qsizetype i = 1; i < count; ++i) {
                for (qsizetype j = 0; take(i) && j < i; ++j) {
                    if (take(j) && same(i, j))
                        return true;
                }
            }
            return false;
        }
        size_t size = 32;
        while (size < 2 * size_t(count))
            size *= 2;
        FSlots.assign(size, -1);
        const size_t mask = size - 1;
        for (qsizetype i = 0; i < count; ++i) {
            if (!take(i))
                continue;
            size_t at = hash(i) & mask;
            for (; FSlots[at] >= 0; at = (at + 1) & mask) {
                if (same(i, qsizetype(FSlots[at])))
                    return true;
            }
            FSlots[at] = qint32(i);
        }
        return false;
    }
    static size_t Seed() { return QHashSeed::globalSeed(); }

private:
    std::vector<qint32> FSlots;
};

// The lexical part of the quick readers of WSDL documents and of answers:
// the plain XML that servers write, read straight from its bytes. Names are
// ASCII; there is no DTD, CDATA section or processing instruction beyond
// the declaration; attribute values hold no raw line break or tab (which
// XML would normalise). Every step returns false for anything outside that
// subset or not well-formed, and the reader at hand then leaves the whole
// document to the full XML reader, which also words every failure.
class TPlainXmlCursor {
public:
    struct TAttribute {
        QByteArrayView Name;
        qsizetype Colon = -1; // in the name; -1 for none
        QByteArrayView Value; // as written, between the quotes
        bool Plain = true;    // the value holds no reference
        bool Ascii = true;    // nor any byte beyond ASCII

        QByteArrayView Prefix() const { return Colon < 0 ? QByteArrayView() : Name.first(Colon); }
        QByteArrayView Local() const { return Colon < 0 ? Name : Name.sliced(Colon + 1); }
    };

    // The full reader refuses longer names; the quick one leaves them to it.
    static constexpr qsizetype MaxNameLength = 4096;

    explicit TPlainXmlCursor(QByteArrayView bytes, const TReadGuard *guard = nullptr)
        : FAt(bytes.data()), FEnd(bytes.data() + bytes.size()), FTicker(guard)
    {
    }

    bool AtEnd() const { return FAt == FEnd; }
    const char *Position() const { return FAt; }

    template <size_t N> bool Starts(const char (&text)[N]) const
    {
        return FEnd - FAt >= qsizetype(N - 1) && std::memcmp(FAt, text, N - 1) == 0;
    }
    template <size_t N> void Skip(const char (&)[N]) { FAt += N - 1; }

    // Reads the whole document (after a byte order mark, if any, was
    // skipped) and hands each piece to handler, which may give up on any of
    // them by returning false:
    //   bool Text(QByteArrayView raw, bool plain, bool ascii) - inside the document element
    //   bool Start(QByteArrayView name, qsizetype colon) - the attributes in Attributes()
    //   void End() - also right after the Start of an empty-element tag
    //   void Comment() - inside the document element
    // Outside the document element only blanks and comments may stand.
    template <class THandler> bool Read(THandler &handler)
    {
        if (!Declaration())
            return false;
        bool rootSeen = false;
        FOpen.clear();
        while (!AtEnd()) {
            FTicker.Tick();
            if (!Starts("<")) {
                QByteArrayView raw;
                bool plain = true;
                bool ascii = true;
                if (!Text(raw, plain, ascii))
                    return false;
                if (FOpen.empty() ? !IsBlank(raw) : !handler.Text(raw, plain, ascii))
                    return false;
            } else if (Starts("</")) {
                if (FOpen.empty() || !EndTag(FOpen.back()))
                    return false;
                FOpen.pop_back();
                handler.End();
            } else if (Starts("<!--")) {
                if (!Comment())
                    return false;
                if (!FOpen.empty())
                    handler.Comment();
            } else if (Starts("<!") || Starts("<?")) {
                return false;
            } else {
                if (FOpen.empty() && rootSeen)
                    return false;
                rootSeen = true;
                QByteArrayView name;
                qsizetype colon = -1;
                bool empty = false;
                if (!StartTag(name, colon, FAttributes, empty) || !handler.Start(name, colon))
                    return false;
                if (empty)
                    handler.End();
                else
                    FOpen.push_back(name);
            }
        }
        return rootSeen && FOpen.empty();
    }

    const std::vector<TAttribute> &Attributes() const { return FAttributes; }

    // Whether an attribute declares a namespace, and for which prefix (""
    // for the default namespace). False for a declaration XML forbids: of
    // the reserved prefixes, or one that undoes a prefix.
    static bool NamespaceDeclaration(const TAttribute &attribute, bool &declares, QByteArrayView &prefix)
    {
        declares = true;
        if (Is(attribute.Name, "xmlns")) {
            prefix = QByteArrayView("", 0);
            return true;
        }
        if (Is(attribute.Prefix(), "xmlns")) {
            prefix = attribute.Local();
            return !Is(prefix, "xml") && !Is(prefix, "xmlns") && !attribute.Value.isEmpty();
        }
        declares = false;
        return true;
    }
    // The two namespaces no prefix may be bound to.
    static bool IsReservedNamespace(QStringView uri)
    {
        return uri == u"http://www.w3.org/XML/1998/namespace" || uri == u"http://www.w3.org/2000/xmlns/";
    }

    // An XML declaration at the cursor (version 1.0, then optionally
    // encoding UTF-8 and standalone, in that order, in double or single
    // quotes) is passed over; anything else there is left alone.
    bool Declaration()
    {
        if (!Starts("<?xml") || FEnd - FAt <= 5 || !IsSpace(FAt[5]))
            return true;
        FAt += 5;
        SkipSpace();
        if (!Pseudo("version=", {"1.0"}))
            return false;
        bool encoding = false;
        bool standalone = false;
        for (;;) {
            const bool space = SkipSpace();
            if (Starts("?>")) {
                FAt += 2;
                return true;
            }
            if (!space)
                return false;
            if (!encoding && !standalone && Pseudo("encoding=", {"UTF-8", "utf-8"}))
                encoding = true;
            else if (!standalone && Pseudo("standalone=", {"yes", "no"}))
                standalone = true;
            else
                return false;
        }
    }

    // Character data up to the next markup. plain: it holds no reference
    // and no carriage return; ascii: no byte beyond ASCII.
    bool Text(QByteArrayView &raw, bool &plain, bool &ascii)
    {
        const char *from = FAt;
        plain = true;
        ascii = true;
        for (; FAt != FEnd; ++FAt) {
            if (!(ClassOf(*FAt) & TextSpecial))
                continue;
            const char c = *FAt;
            if (c == '<')
                break;
            if (c == '&' || c == '\r')
                plain = false;
            else if (c == '>' && FAt - from >= 2 && FAt[-1] == ']' && FAt[-2] == ']')
                return false; // "]]>" may not stand in text
            else if (c != '>')
                ascii = false;
        }
        raw = QByteArrayView(from, FAt - from);
        return true;
    }

    static bool IsBlank(QByteArrayView text)
    {
        for (const char c : text) {
            if (!IsSpace(c))
                return false;
        }
        return true;
    }

    // A comment at "<!--".
    bool Comment()
    {
        const QByteArrayView rest(FAt + 4, FEnd - FAt - 4);
        const qsizetype close = rest.indexOf("-->");
        if (close < 0)
            return false;
        const QByteArrayView body = rest.first(close);
        if (body.contains("--") || body.endsWith('-'))
            return false;
        FAt += 4 + close + 3;
        return true;
    }

    // A start tag at "<": its name, its attributes (never the same
    // qualified name twice) and whether it is an empty-element tag.
    bool StartTag(QByteArrayView &name, qsizetype &colon, std::vector<TAttribute> &attributes, bool &empty)
    {
        ++FAt;
        if (!Name(name, colon))
            return false;
        attributes.clear();
        empty = false;
        for (;;) {
            const bool space = SkipSpace();
            if (FAt == FEnd)
                return false;
            if (*FAt == '>') {
                ++FAt;
                return !DuplicateNames(attributes);
            }
            if (*FAt == '/') {
                if (FAt + 1 == FEnd || FAt[1] != '>')
                    return false;
                FAt += 2;
                empty = true;
                return !DuplicateNames(attributes);
            }
            FTicker.Tick();
            TAttribute attribute;
            if (!space || !Name(attribute.Name, attribute.Colon))
                return false;
            SkipSpace();
            if (FAt == FEnd || *FAt != '=')
                return false;
            ++FAt;
            SkipSpace();
            if (FAt == FEnd || (*FAt != '"' && *FAt != '\''))
                return false;
            const char quote = *FAt++;
            const char *from = FAt;
            for (; FAt != FEnd && *FAt != quote; ++FAt) {
                const char c = *FAt;
                if (c == '<' || c == '\t' || c == '\n' || c == '\r')
                    return false;
                if (c == '&')
                    attribute.Plain = false;
                else if (uchar(c) >= 0x80)
                    attribute.Ascii = false;
            }
            if (FAt == FEnd)
                return false;
            attribute.Value = QByteArrayView(from, FAt - from);
            ++FAt;
            attributes.push_back(attribute);
        }
    }

    // Whether two attributes have the same qualified name.
    bool DuplicateNames(const std::vector<TAttribute> &attributes)
    {
        return FDuplicates.Any(
            qsizetype(attributes.size()), [](qsizetype) { return true; },
            [&](qsizetype i) { return qHash(attributes[size_t(i)].Name, TDuplicateCheck::Seed()); },
            [&](qsizetype i, qsizetype j) {
                return Same(attributes[size_t(i)].Name, attributes[size_t(j)].Name);
            });
    }

    // An end tag at "</", which must close the element named expected.
    bool EndTag(QByteArrayView expected)
    {
        FAt += 2;
        QByteArrayView name;
        qsizetype colon = -1;
        if (!Name(name, colon))
            return false;
        SkipSpace();
        if (FAt == FEnd || *FAt != '>' || !Same(name, expected))
            return false;
        ++FAt;
        return true;
    }

    // Comparisons with literals, without measuring the literal at run time.
    template <size_t N> static bool Is(QByteArrayView bytes, const char (&text)[N])
    {
        return bytes.size() == qsizetype(N - 1) && std::memcmp(bytes.data(), text, N - 1) == 0;
    }
    static bool Same(QByteArrayView a, QByteArrayView b)
    {
        // memcmp must not see the null data of an empty view
        return a.size() == b.size() &&
               (a.isEmpty() || std::memcmp(a.data(), b.data(), size_t(a.size())) == 0);
    }
    static QLatin1StringView Latin1(QByteArrayView bytes)
    {
        return QLatin1StringView(bytes.data(), bytes.size());
    }
    static bool IsSpace(char c) { return ClassOf(c) & Space; }

private:
    // Byte classes, one table lookup per byte in the loops that matter.
    enum : quint8 { NameStart = 1, NameChar = 2, TextSpecial = 4, Space = 8 };
    static constexpr std::array<quint8, 256> Classes = [] {
        std::array<quint8, 256> classes{};
        for (int c = 0; c < 256; ++c) {
            quint8 bits = 0;
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')
                bits |= NameStart | NameChar;
            if ((c >= '0' && c <= '9') || c == '.' || c == '-')
                bits |= NameChar;
            if (c == '<' || c == '&' || c == '\r' || c == '>' || c >= 0x80)
                bits |= TextSpecial;
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
                bits |= Space;
            classes[size_t(c)] = bits;
        }
        return classes;
    }();
    static quint8 ClassOf(char c) { return Classes[uchar(c)]; }

    bool SkipSpace()
    {
        const char *from = FAt;
        while (FAt != FEnd && IsSpace(*FAt))
            ++FAt;
        return FAt != from;
    }

    // A qualified name: NCName, or NCName ':' NCName; colon gets the
    // position of the colon or -1.
    bool Name(QByteArrayView &name, qsizetype &colon)
    {
        const char *from = FAt;
        if (FAt == FEnd || !(ClassOf(*FAt) & NameStart))
            return false;
        colon = -1;
        for (++FAt; FAt != FEnd; ++FAt) {
            if (ClassOf(*FAt) & NameChar)
                continue;
            if (*FAt != ':')
                break;
            if (colon >= 0 || FAt + 1 == FEnd || !(ClassOf(FAt[1]) & NameStart))
                return false;
            colon = FAt - from;
        }
        name = QByteArrayView(from, FAt - from);
        return name.size() <= MaxNameLength;
    }

    // name="value" of the declaration, the value one of values.
    bool Pseudo(QByteArrayView name, std::initializer_list<QByteArrayView> values)
    {
        if (FEnd - FAt < name.size() || !Same(QByteArrayView(FAt, name.size()), name))
            return false;
        const char *at = FAt + name.size();
        if (at == FEnd || (*at != '"' && *at != '\''))
            return false;
        const char quote = *at++;
        for (const QByteArrayView value : values) {
            if (FEnd - at > value.size() && Same(QByteArrayView(at, value.size()), value) &&
                at[value.size()] == quote) {
                FAt = at + value.size() + 1;
                return true;
            }
        }
        return false;
    }

    const char *FAt;
    const char *FEnd;
    std::vector<QByteArrayView> FOpen;   // names of the open elements
    std::vector<TAttribute> FAttributes; // of the start tag at hand
    TDuplicateCheck FDuplicates;
    TReadTicker FTicker;
};
