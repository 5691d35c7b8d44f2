#include "indexserver/IX_Encoding.h"

#include "indexserver/IX_Catalogue.h"

#include <QHash>
#include <QStringBuilder>

#include <typeinfo>
#include <vector>
#if defined(__GNUC__) || defined(__clang__)
#include <cstdlib>
#include <cxxabi.h>
#endif

using namespace Qt::StringLiterals;

// Writing requests; reading answers is in IX_AnswerReader.cpp.

namespace {

const QString STypeNotRegistered = u"Typ %1 ist nicht registriert"_s;

// The name of a type that is not in the catalogue, for the failure message.
QString ForeignTypeName(const TRemotable &object)
{
    const char *raw = typeid(object).name();
#if defined(__GNUC__) || defined(__clang__)
    int status = 0;
    char *demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    if (demangled) {
        QString name = QString::fromUtf8(demangled);
        std::free(demangled);
        return name;
    }
#endif
    QString name = QString::fromUtf8(raw);
    if (name.startsWith(u"struct "_s))
        name.remove(0, 7);
    else if (name.startsWith(u"class "_s))
        name.remove(0, 6);
    return name;
}

// ---------------------------------------------------------------- writing

// XML 1.0 cannot carry most control characters (U+0000 above all), lone
// surrogates, U+FFFE and U+FFFF, not even as references; they are left out
// so that the request stays well-formed. Line ends and tabs in attribute
// values and carriage returns in text are written as references so that they
// arrive unchanged.
void AppendEscaped(QString &out, QStringView text, bool attribute)
{
    const qsizetype count = text.size();
    qsizetype plain = 0; // start of the characters not yet appended that need no care
    const auto flush = [&](qsizetype end) {
        if (end > plain)
            out.append(text.sliced(plain, end - plain));
    };
    for (qsizetype i = 0; i < count; ++i) {
        const QChar c = text[i];
        const char16_t u = c.unicode();
        // Most characters need nothing; they are appended in runs.
        if (u >= 0x3F && u < 0xD800)
            continue;
        if (u >= 0x20 && u != u'&' && u != u'<' && u != u'>' && u != u'"' && !c.isSurrogate() &&
            u != 0xFFFE && u != 0xFFFF)
            continue;
        flush(i);
        plain = i + 1;
        switch (u) {
        case u'&':
            out += u"&amp;"_s;
            continue;
        case u'<':
            out += u"&lt;"_s;
            continue;
        case u'>':
            out += u"&gt;"_s;
            continue;
        case u'"':
            if (attribute)
                out += u"&quot;"_s;
            else
                out += c;
            continue;
        case u'\r':
            out += u"&#13;"_s;
            continue;
        case u'\n':
            if (attribute)
                out += u"&#10;"_s;
            else
                out += c;
            continue;
        case u'\t':
            if (attribute)
                out += u"&#9;"_s;
            else
                out += c;
            continue;
        default:
            break;
        }
        if (u < 0x20 || u == 0xFFFE || u == 0xFFFF)
            continue;
        if (c.isHighSurrogate()) {
            if (i + 1 < count && text[i + 1].isLowSurrogate()) {
                out += c;
                out += text[i + 1];
                ++i;
                plain = i + 1;
            }
            continue;
        }
        // a lone low surrogate is left out
    }
    flush(count);
}

class TRequestWriter {
public:
    TRequestWriter(const QString &operationNamespace, const QString &typeNamespace)
        : FOperationNamespace(operationNamespace), FTypeNamespace(typeNamespace)
    {
    }

    QByteArray Write(const QString &operation, const QList<TSoapArgument> &arguments)
    {
        const QString operationPrefix = NewPrefix();
        QString call;
        call += u'<' % operationPrefix % u':' % operation % u" xmlns:"_s % operationPrefix % u"=\""_s;
        AppendEscaped(call, FOperationNamespace, true);
        call += u"\">"_s;
        for (const TSoapArgument &argument : arguments)
            WriteArgument(call, argument);
        call += u"</"_s % operationPrefix % u':' % operation % u'>';

        QString document =
            u"<?xml version=\"1.0\"?>"
            "<SOAP-ENV:Envelope"
            " xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
            " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
            " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
            " xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">"
            "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""_s;
        if (!FTypePrefix.isEmpty()) {
            document += u" xmlns:"_s % FTypePrefix % u"=\""_s;
            AppendEscaped(document, FTypeNamespace, true);
            document += u'"';
        }
        document += u'>';
        document += call;
        for (const QString &element : FMultiRefs)
            document += element;
        document += u"</SOAP-ENV:Body></SOAP-ENV:Envelope>"_s;
        return document.toUtf8();
    }

private:
    QString NewPrefix() { return u"NS"_s + QString::number(FNextPrefix++); }

    const QString &TypePrefix()
    {
        if (FTypePrefix.isEmpty())
            FTypePrefix = NewPrefix();
        return FTypePrefix;
    }

    static void WriteScalar(QString &out, const QString &name, QStringView xsdType, QStringView text)
    {
        out += u'<';
        out += name;
        out += u" xsi:type=\"xsd:"_s;
        out += xsdType;
        out += u'"';
        // Decided after escaping: a text of characters that XML cannot carry
        // leaves an element without content, like an empty text.
        const qsizetype start = out.size();
        out += u'>';
        AppendEscaped(out, text, false);
        if (out.size() == start + 1) {
            out.truncate(start);
            out += u"/>"_s;
            return;
        }
        out += u"</"_s % name % u'>';
    }

    static void WriteNil(QString &out, const QString &name) { out += u'<' % name % u" xsi:nil=\"true\"/>"_s; }

    void WriteReference(QString &out, const QString &name, const std::shared_ptr<TRemotable> &object,
                        const QString &multiRefName)
    {
        if (!object) {
            WriteNil(out, name);
            return;
        }
        const int id = WriteObject(*object, multiRefName);
        out += u'<' % name % u" href=\"#"_s % QString::number(id) % u"\"/>"_s;
    }

    void WriteArgument(QString &out, const TSoapArgument &argument)
    {
        const QString &name = argument.Name;
        if (const auto *text = std::get_if<QString>(&argument.Value))
            WriteScalar(out, name, u"string", *text);
        else if (const auto *value = std::get_if<qint32>(&argument.Value))
            WriteScalar(out, name, u"int", QString::number(*value));
        else if (const auto *value = std::get_if<qint64>(&argument.Value))
            WriteScalar(out, name, u"long", QString::number(*value));
        else if (const auto *value = std::get_if<bool>(&argument.Value))
            WriteScalar(out, name, u"boolean", *value ? u"true" : u"false");
        else if (const auto *bytes = std::get_if<QByteArray>(&argument.Value))
            WriteScalar(out, name, u"base64Binary", QString::fromLatin1(bytes->toBase64()));
        else if (const auto *object = std::get_if<std::shared_ptr<TRemotable>>(&argument.Value))
            WriteReference(out, name, *object, {});
    }

    // Writes the object's multi-reference element, once per message, and
    // gives its id. An empty elementName names the element after the type.
    int WriteObject(const TRemotable &object, const QString &elementName)
    {
        if (const auto found = FWritten.constFind(&object); found != FWritten.cend())
            return found.value();
        const TTypeInfo *type = object.TypeInfo();
        if (!type)
            throw EFailure(STypeNotRegistered.arg(ForeignTypeName(object)));

        const int id = FNextId++;
        FWritten.insert(&object, id);
        const QString prefix = TypePrefix();
        const QString name = prefix % u':' % (elementName.isEmpty() ? type->Name : elementName);
        // The slot keeps the element's place before the elements of its
        // members, which are written while its own text is still growing.
        const size_t slot = FMultiRefs.size();
        FMultiRefs.emplace_back();

        QString element;
        element += u'<' % name % u" id=\""_s % QString::number(id) % u"\" xsi:type=\""_s % prefix % u':' %
                   type->Name % u"\">"_s;
        auto &mutableObject = const_cast<TRemotable &>(object); // the slots are only read here
        for (const TMemberInfo &member : type->Members)
            WriteMember(element, member, member.Slot(mutableObject));
        element += u"</"_s % name % u'>';
        FMultiRefs[slot] = std::move(element);
        return id;
    }

    void WriteMember(QString &out, const TMemberInfo &member, const void *slot)
    {
        const QString &name = member.WireName;
        switch (member.Kind) {
        case TMemberKind::Long:
            WriteScalar(out, name, u"long", QString::number(*static_cast<const qint64 *>(slot)));
            break;
        case TMemberKind::Int:
            WriteScalar(out, name, u"int", QString::number(*static_cast<const qint32 *>(slot)));
            break;
        case TMemberKind::Bool:
            WriteScalar(out, name, u"boolean", *static_cast<const bool *>(slot) ? u"true" : u"false");
            break;
        case TMemberKind::String:
            WriteScalar(out, name, u"string", *static_cast<const QString *>(slot));
            break;
        case TMemberKind::Bytes:
            WriteScalar(out, name, u"base64Binary",
                        QString::fromLatin1(static_cast<const QByteArray *>(slot)->toBase64()));
            break;
        case TMemberKind::Object:
            WriteReference(out, name, member.ElementType->GetObject(slot), name);
            break;
        case TMemberKind::Array: {
            const TTypeInfo &element = *member.ElementType;
            const qsizetype count = element.ListSize(slot);
            if (count == 0) {
                WriteNil(out, name); // no items and no array are the same
                break;
            }
            WriteArrayStart(out, name, TypePrefix() + u':' + element.Name, count);
            for (qsizetype i = 0; i < count; ++i)
                WriteReference(out, u"item"_s, element.ListAt(slot, i), {});
            out += u"</"_s % name % u'>';
            break;
        }
        case TMemberKind::IntArray: {
            const auto &list = *static_cast<const QList<qint32> *>(slot);
            if (list.isEmpty()) {
                WriteNil(out, name);
                break;
            }
            WriteArrayStart(out, name, u"xsd:int"_s, list.size());
            for (qint32 value : list)
                WriteScalar(out, u"item"_s, u"int", QString::number(value));
            out += u"</"_s % name % u'>';
            break;
        }
        case TMemberKind::StringArray: {
            const auto &list = *static_cast<const QList<QString> *>(slot);
            if (list.isEmpty()) {
                WriteNil(out, name);
                break;
            }
            WriteArrayStart(out, name, u"xsd:string"_s, list.size());
            for (const QString &value : list)
                WriteScalar(out, u"item"_s, u"string", value);
            out += u"</"_s % name % u'>';
            break;
        }
        }
    }

    static void WriteArrayStart(QString &out, const QString &name, const QString &itemType, qsizetype count)
    {
        out += u'<' % name % u" xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\""_s % itemType % u'[' +
               QString::number(count) % u"]\">"_s;
    }

    QString FOperationNamespace;
    QString FTypeNamespace;
    QString FTypePrefix;
    int FNextPrefix = 1;
    int FNextId = 1;
    QHash<const TRemotable *, int> FWritten;
    std::vector<QString> FMultiRefs; // children of the Body after the operation element, in order
};

} // namespace

ESOAPFault::ESOAPFault(const QString &faultString, const QString &faultCode, const QString &faultActor,
                       const QByteArray &answer)
    : EFailure(faultString), FFaultCode(faultCode), FFaultActor(faultActor), FAnswer(answer)
{
}

QByteArray WriteRequest(const QString &operation, const QList<TSoapArgument> &arguments,
                        const QString &operationNamespace, const QString &typeNamespace)
{
    return TRequestWriter(operationNamespace, typeNamespace).Write(operation, arguments);
}
