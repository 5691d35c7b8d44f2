// Feeds arbitrary bytes to the answer reader. The first byte picks the
// result type, so that every object type of the program's calls is reached.
// A failure is an ordinary outcome; a crash, leak, hang or sanitizer report
// is the finding.

#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString resultTypes[] = {
        QString(),
        QStringLiteral("LoginResult"),
        QStringLiteral("ServerInfo"),
        QStringLiteral("IXServicePortC"),
        QStringLiteral("EditInfo"),
    };
    if (size == 0)
        return 0;
    const QString &resultType = resultTypes[data[0] % 5];
    const QByteArray body(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    try {
        const std::shared_ptr<TRemotable> result = ReadAnswer(body, resultType);
        // whatever came back must be of the requested type
        if (result && !result->TypeInfo()->Is(*TTypeRegistry::Instance().FindType(resultType)))
            __builtin_trap();
    } catch (const EFailure &) {
    }
    return 0;
}
