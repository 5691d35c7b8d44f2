#include "settings/U_Secure.h"

#include <QStringList>

#include <algorithm>

namespace {

// I and O are left out so that a written-down password cannot be misread as 1 or 0.
constexpr char16_t Base34Digits[] = u"0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";

// Products wrap around in 64 bits like the unchecked arithmetic of the other
// program; a signed overflow would be undefined here.
qint64 WrappingProduct(qint64 a, qint64 b)
{
    return static_cast<qint64>(static_cast<quint64>(a) * static_cast<quint64>(b));
}

// v itself below the modulus, otherwise v - (v div modulus) * modulus with
// truncating division. A zero modulus leaves v alone rather than dividing by
// zero, and -1 is spelled out because INT64_MIN % -1 overflows.
qint64 Reduce(qint64 v, qint32 modulus)
{
    if (v < modulus || modulus == 0)
        return v;
    if (modulus == -1)
        return 0;
    return v % modulus;
}

int Base34DigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'H')
        return c - u'A' + 10;
    if (c >= u'J' && c <= u'N')
        return c - u'J' + 18;
    // Everything else, P-Z included, as the other program reads it.
    return (static_cast<int>(c) - 57) & 0xFF;
}

} // namespace

qint64 PowerMod(qint64 base, qint64 exponent, qint32 modulus)
{
    qint64 result = 1;
    for (;;) {
        if (exponent & 1)
            result = Reduce(WrappingProduct(result, base), modulus);
        if (exponent <= 1)
            return result;
        base = Reduce(WrappingProduct(base, base), modulus);
        exponent /= 2;
    }
}

QString IntToBase34(quint32 value)
{
    QString reversed;
    do {
        reversed.append(QChar(Base34Digits[value % 34]));
        value /= 34;
    } while (value != 0);
    std::reverse(reversed.begin(), reversed.end());
    return reversed;
}

quint32 Base34ToInt(const QString &text)
{
    quint32 result = 0;
    for (QChar c : text)
        result = result * 34u + static_cast<quint32>(Base34DigitValue(c.unicode()));
    return result;
}

QString EncryptText(const QString &text, qint32 exponent, qint32 modulus)
{
    QString padded = text;
    if (padded.size() % 2 != 0)
        padded.append(u' ');
    QStringList blocks;
    blocks.reserve(padded.size() / 2);
    for (qsizetype i = 0; i < padded.size(); i += 2) {
        const qint64 block = qint64(padded.at(i).unicode()) * 256 + padded.at(i + 1).unicode();
        const auto scrambled = static_cast<quint32>(PowerMod(block, exponent, modulus));
        blocks.append(IntToBase34(scrambled));
    }
    return blocks.join(u'-');
}

QString DecryptText(const QString &text, qint32 exponent, qint32 modulus)
{
    QString result;
    QString block;
    const auto flush = [&] {
        if (block.isEmpty())
            return;
        const auto value = static_cast<quint32>(PowerMod(Base34ToInt(block), exponent, modulus));
        result.append(QChar(static_cast<char16_t>((value >> 8) & 0xFFFF)));
        result.append(QChar(static_cast<char16_t>(value & 0xFF)));
        block.clear();
    };
    for (QChar c : text) {
        if (c == u'\0')
            break;
        if (c == u'-' || c == u'\r' || c == u'\n')
            flush();
        else
            block.append(c);
    }
    flush();
    // Only the one space that EncryptText adds to an odd-length text.
    if (result.endsWith(u' '))
        result.chop(1);
    return result;
}
