// Feeds arbitrary bytes to both answer parsers. Whatever the quick parser
// reads itself, the full reader must accept and build the same table from;
// and reading as ReadAnswer does must give the full reader's table or its
// failure text. A disagreement, crash, leak, hang or sanitizer report is the
// finding. The first byte chooses whether unread constants are skipped.

#include "common/EFailure.h"
#include "indexserver/IX_Encoding.h"

#include <cstddef>
#include <cstdint>

namespace {

QString Outline(const QByteArray &body, TAnswerParser parser, bool skipUnread)
{
    try {
        return AnswerOutline(body, parser, skipUnread);
    } catch (const EFailure &failure) {
        return QStringLiteral("failure: ") + failure.Message();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool skipUnread = data[0] & 1;
    const QByteArray body(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString full = Outline(body, TAnswerParser::Full, skipUnread);
    const QString quick = Outline(body, TAnswerParser::Quick, skipUnread);
    if (!quick.isNull() && quick != full)
        __builtin_trap(); // the quick parser read something the full reader reads otherwise, or refuses
    if (Outline(body, TAnswerParser::Automatic, skipUnread) != full)
        __builtin_trap(); // falling back must start from a clean table
    return 0;
}
