#include "indexserver/IX_PlainXml.h"

#include <cstring>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString STooManyAttributes = u"XML-Dokument abgelehnt: ein Element hat mehr als %1 Attribute"_s;
const QString STooManyNamespaces =
    u"XML-Dokument abgelehnt: mehr als %1 Namensraumdeklarationen gleichzeitig gültig"_s;

class TShapeCheck {
public:
    TShapeCheck(QByteArrayView bytes, TReadTicker &ticker)
        : FAt(bytes.data()), FEnd(bytes.data() + bytes.size()), FTicker(ticker)
    {
    }

    // Markup is followed only as far as counting needs; at anything that is
    // not well-formed the pass ends, and the readers word the failure.
    void Run()
    {
        while (FAt != FEnd) {
            const char *open = Find('<');
            if (!open)
                return;
            FTicker.Tick();
            FAt = open;
            if (Starts("<!--")) {
                if (!SkipPast("-->", 4))
                    return;
            } else if (Starts("<![CDATA[")) {
                if (!SkipPast("]]>", 9))
                    return;
            } else if (Starts("<?")) {
                if (!SkipPast("?>", 2))
                    return;
            } else if (Starts("<!")) {
                if (!SkipDeclaration())
                    return;
            } else if (Starts("</")) {
                if (!FOpen.empty()) {
                    FInScope -= FOpen.back();
                    FOpen.pop_back();
                }
                ++FAt;
            } else if (!StartTag()) {
                return;
            }
        }
    }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    template <size_t N> bool Starts(const char (&text)[N]) const
    {
        return FEnd - FAt >= qsizetype(N - 1) && std::memcmp(FAt, text, N - 1) == 0;
    }

    const char *Find(char c) const
    {
        return static_cast<const char *>(std::memchr(FAt, c, size_t(FEnd - FAt)));
    }

    bool SkipPast(QByteArrayView close, qsizetype from)
    {
        const qsizetype at = QByteArrayView(FAt, FEnd - FAt).indexOf(close, from);
        if (at < 0)
            return false;
        FAt += at + close.size();
        return true;
    }

    // A document type declaration, its internal subset with quoted texts
    // and comments included.
    bool SkipDeclaration()
    {
        int brackets = 0;
        for (FAt += 2; FAt != FEnd; ++FAt) {
            const char c = *FAt;
            if (c == '"' || c == '\'') {
                ++FAt;
                const char *close = Find(c);
                if (!close)
                    return false;
                FAt = close;
            } else if (c == '<' && Starts("<!--")) {
                if (!SkipPast("-->", 4))
                    return false;
                --FAt;
            } else if (c == '[') {
                ++brackets;
            } else if (c == ']') {
                --brackets;
            } else if (c == '>' && brackets <= 0) {
                ++FAt;
                return true;
            }
        }
        return false;
    }

    // A start tag at "<": its attributes counted, its declarations kept in
    // force until its end tag.
    bool StartTag()
    {
        int attributes = 0;
        int declarations = 0;
        FNameFloor = ++FAt;
        for (; FAt != FEnd; ++FAt) {
            const char c = *FAt;
            if (c == '>' || c == '/') {
                if (c == '>') {
                    FOpen.push_back(declarations);
                    FInScope += declarations;
                }
                ++FAt;
                return true;
            }
            if (c == '<')
                return false;
            if (c != '=')
                continue;
            // An attribute: the name before the sign, the value in quotes after it.
            const char *end = FAt;
            while (end != FNameFloor && IsSpace(end[-1]))
                --end;
            const char *begin = end;
            while (begin != FNameFloor && !IsSpace(begin[-1]))
                --begin;
            const QByteArrayView name(begin, end - begin);
            if (name == "xmlns" || name.startsWith("xmlns:"))
                ++declarations;
            if (++attributes > MaxAttributesPerElement)
                throw EFailure(STooManyAttributes.arg(MaxAttributesPerElement));
            if (FInScope + declarations > MaxNamespacesInScope)
                throw EFailure(STooManyNamespaces.arg(MaxNamespacesInScope));
            ++FAt;
            while (FAt != FEnd && IsSpace(*FAt))
                ++FAt;
            if (FAt == FEnd || (*FAt != '"' && *FAt != '\''))
                return false;
            const char quote = *FAt++;
            const char *close = Find(quote);
            if (!close)
                return false;
            FAt = close;
            FTicker.Tick();
            FNameFloor = FAt + 1;
        }
        return false;
    }

    const char *FAt;
    const char *FEnd;
    const char *FNameFloor = nullptr; // where the next attribute's name begins at the earliest
    TReadTicker &FTicker;
    std::vector<int> FOpen; // declarations of each open element
    qsizetype FInScope = 0;
};

} // namespace

void CheckXmlShape(QByteArrayView bytes, TReadTicker &ticker)
{
    TShapeCheck(bytes, ticker).Run();
}
