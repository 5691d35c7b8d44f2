// Feeds arbitrary bytes to both WSDL readers and to ParseWsdl, which
// converts and bounds the document first. Whatever the quick reader reads
// itself, the full reader must accept and read the same from; a
// disagreement, crash, leak, hang or sanitizer report is the finding.

#include "common/EFailure.h"
#include "indexserver/IX_Wsdl.h"

#include <cstddef>
#include <cstdint>

namespace {

bool Same(const TWsdlDocument &a, const TWsdlDocument &b)
{
    if (a.Imports != b.Imports || a.Services.size() != b.Services.size() ||
        a.Bindings.size() != b.Bindings.size())
        return false;
    for (qsizetype i = 0; i < a.Services.size(); ++i) {
        const auto &x = a.Services[i];
        const auto &y = b.Services[i];
        if (x.Name != y.Name || x.Ports.size() != y.Ports.size())
            return false;
        for (qsizetype j = 0; j < x.Ports.size(); ++j) {
            const auto &p = x.Ports[j];
            const auto &q = y.Ports[j];
            if (p.Name != q.Name || p.Binding != q.Binding || p.HasAddress != q.HasAddress ||
                p.Address != q.Address)
                return false;
        }
    }
    for (qsizetype i = 0; i < a.Bindings.size(); ++i) {
        const auto &x = a.Bindings[i];
        const auto &y = b.Bindings[i];
        if (x.Name != y.Name || x.Operations.size() != y.Operations.size())
            return false;
        for (qsizetype j = 0; j < x.Operations.size(); ++j) {
            const auto &p = x.Operations[j];
            const auto &q = y.Operations[j];
            if (p.Name != q.Name || p.HasSoapOperation != q.HasSoapOperation ||
                p.SoapAction != q.SoapAction || p.HasInput != q.HasInput || p.HasBody != q.HasBody ||
                p.BodyNamespace != q.BodyNamespace)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        // As the binding reads it: converted, bounded, then either reader.
        TWsdlDocument parsed;
        QString types;
        QString interface;
        try {
            ParseWsdl(content, parsed, types, interface);
        } catch (const EFailure &) {
        }
    }
    TWsdlDocument quick;
    QString quickTypes;
    QString quickInterface;
    if (!ScanPlainWsdl(content, quick, quickTypes, quickInterface)) {
        if (!quick.Services.isEmpty() || !quick.Bindings.isEmpty() || !quick.Imports.isEmpty() ||
            !quickTypes.isEmpty() || !quickInterface.isEmpty())
            __builtin_trap(); // giving up must leave everything as it was
        return 0;
    }
    TWsdlDocument full;
    QString fullTypes;
    QString fullInterface;
    try {
        ReadWsdl(content, full, fullTypes, fullInterface);
    } catch (const EFailure &) {
        __builtin_trap(); // the quick reader took a document that is not well-formed
    }
    if (!Same(quick, full) || quickTypes != fullTypes || quickInterface != fullInterface)
        __builtin_trap();
    return 0;
}
