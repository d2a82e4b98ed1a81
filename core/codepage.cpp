#include "core/codepage.h"

#include <array>

namespace {

constexpr std::array<unsigned char, 256> makeUpperTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<unsigned char>(c);
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] = static_cast<unsigned char>(c - 32);
    for (int c = 0xE0; c <= 0xFE; ++c) {
        if (c != 0xF7)
            table[c] = static_cast<unsigned char>(c - 32);
    }
    table[0x9A] = 0x8A; // š
    table[0x9C] = 0x8C; // œ
    table[0x9E] = 0x8E; // ž
    table[0xFF] = 0x9F; // ÿ
    return table;
}

constexpr std::array<unsigned char, 256> makeLowerTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<unsigned char>(c);
    for (int c = 'A'; c <= 'Z'; ++c)
        table[c] = static_cast<unsigned char>(c + 32);
    for (int c = 0xC0; c <= 0xDE; ++c) {
        if (c != 0xD7)
            table[c] = static_cast<unsigned char>(c + 32);
    }
    table[0x8A] = 0x9A;
    table[0x8C] = 0x9C;
    table[0x8E] = 0x9E;
    table[0x9F] = 0xFF;
    return table;
}

constexpr auto UpperTable = makeUpperTable();
constexpr auto LowerTable = makeLowerTable();

// 0x80..0x9F of Windows-1252; 0 marks the five unassigned bytes, which map to
// the C1 control of the same value as the platform's converters do.
constexpr char16_t HighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

QByteArray mapped(const QByteArray &text, const std::array<unsigned char, 256> &table)
{
    QByteArray result(text.size(), Qt::Uninitialized);
    const auto *in = reinterpret_cast<const unsigned char *>(text.constData());
    auto *out = reinterpret_cast<unsigned char *>(result.data());
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = table[in[i]];
    return result;
}

} // namespace

QByteArray Codepage::toUpper(const QByteArray &text)
{
    return mapped(text, UpperTable);
}

QByteArray Codepage::toLower(const QByteArray &text)
{
    return mapped(text, LowerTable);
}

bool Codepage::equalsIgnoringCase(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    const auto *pa = reinterpret_cast<const unsigned char *>(a.constData());
    const auto *pb = reinterpret_cast<const unsigned char *>(b.constData());
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (UpperTable[pa[i]] != UpperTable[pb[i]])
            return false;
    }
    return true;
}

QString Codepage::toDisplay(const QByteArray &text)
{
    QString result(text.size(), Qt::Uninitialized);
    QChar *out = result.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 && c <= 0x9F && HighControls[c - 0x80] != 0)
            out[i] = QChar(HighControls[c - 0x80]);
        else
            out[i] = QChar(char16_t(c));
    }
    return result;
}

QByteArray Codepage::toUtf8(const QByteArray &text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return toDisplay(text).toUtf8();
    }
    return text;
}

QByteArray Codepage::fromDisplay(const QString &text)
{
    QByteArray result(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        char byte = '?';
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            byte = char(u);
        } else {
            for (int k = 0; k < 32; ++k) {
                if (HighControls[k] == u || (HighControls[k] == 0 && u == 0x80 + k)) {
                    byte = char(0x80 + k);
                    break;
                }
            }
        }
        result[i] = byte;
    }
    return result;
}
