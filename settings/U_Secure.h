#pragma once

#include <QString>
#include <QtGlobal>

// Password scrambling of the settings file's "IXPasswort" element. This is NOT
// encryption: the key is fixed in the program and tiny, and anyone holding the
// program can reverse it. It exists so that ">quillora< Vellumix", which reads
// the same file with the same key, keeps understanding what this program stores.
//
// Text form: every pair of characters (first * 256 + second) is raised to the
// exponent modulo the modulus, written in base 34 (digits 0-9 and A-Z without I
// and O) and the blocks are joined by "-". An odd-length text gets one space
// appended first, which decryption removes again. Nothing here ever fails.

// The one key shared with ">quillora< Vellumix"; a file written under another
// key cannot be read back. Made as a small RSA key:
//   p = 30011 and q = 32029, two distinct primes;
//   modulus n = p * q = 961222319 (nine digits, above the largest block value
//   65535 * 256 + 65535 = 16842495, so every block value survives);
//   lambda = lcm(p - 1, q - 1) = 480580140;
//   public exponent e = 65537 (five digits, prime, coprime to lambda);
//   private exponent d = e^-1 mod lambda = 110779013 (nine digits),
//   so that e * d = 1 (mod lambda) and (v^e)^d = v (mod n) for every v < n.
// All three fit in a signed 32-bit integer.
inline constexpr qint32 PasswordPublicExponent = 65537;
inline constexpr qint32 PasswordPrivateExponent = 110779013;
inline constexpr qint32 PasswordModulus = 961222319;

// Stored text form of text; the empty text stays empty.
QString EncryptText(const QString &text, qint32 exponent, qint32 modulus);
// Clear text of a stored text form. Accepts any text: "-", CR and LF separate
// blocks, empty blocks are skipped, a NUL ends the text, characters outside the
// base-34 alphabet count with their own value (see Base34ToInt).
QString DecryptText(const QString &text, qint32 exponent, qint32 modulus);

// base^exponent, reduced modulo modulus after every product (square and
// multiply from the lowest exponent bit). The base is not reduced up front; for
// bases below the modulus the result is exact. Products wrap around in 64 bits
// instead of overflowing, so odd inputs give odd results but never fail.
qint64 PowerMod(qint64 base, qint64 exponent, qint32 modulus);

// Base-34 digits, most significant first, without leading zeros ("0" for 0).
QString IntToBase34(quint32 value);
// Reads base-34 digits modulo 2^32. Characters outside the alphabet are not
// rejected: any character other than 0-9, A-H and J-N counts (code - 57) mod 256,
// so P-Z give 23-33, I gives 16, O gives 22, "a" 40 and a space 231.
quint32 Base34ToInt(const QString &text);
