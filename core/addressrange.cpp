#include "core/addressrange.h"

#include <algorithm>

namespace {
QByteArray dotted(quint32 address)
{
    return QByteArray::number(address >> 24) + '.' + QByteArray::number((address >> 16) & 0xff) +
           '.' + QByteArray::number((address >> 8) & 0xff) + '.' +
           QByteArray::number(address & 0xff);
}

QString shown(QByteArrayView text)
{
    return QString::fromLatin1(text.first(std::min<qsizetype>(text.size(), 64)));
}
} // namespace

AddressRange::AddressRange(quint32 network, int prefixLength)
    : m_network(network), m_prefixLength(prefixLength)
{
}

std::optional<quint32> AddressRange::parseAddress(QByteArrayView text)
{
    quint32 address = 0;
    int parts = 0;
    qsizetype i = 0;
    while (parts < 4) {
        const qsizetype start = i;
        int value = 0;
        while (i < text.size() && i - start < 4 && text[i] >= '0' && text[i] <= '9')
            value = value * 10 + (text[i++] - '0');
        const qsizetype digits = i - start;
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[start] == '0'))
            return std::nullopt;
        address = (address << 8) | quint32(value);
        if (++parts < 4) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            ++i;
        }
    }
    if (i != text.size())
        return std::nullopt;
    return address;
}

std::optional<AddressRange> AddressRange::parse(QByteArrayView text, QString *errorText)
{
    const auto fail = [errorText](const QString &reason) -> std::optional<AddressRange> {
        if (errorText)
            *errorText = reason;
        return std::nullopt;
    };
    const qsizetype slash = text.indexOf('/');
    const QByteArrayView addressText = slash < 0 ? text : text.first(slash);
    const std::optional<quint32> address = parseAddress(addressText);
    if (!address) {
        return fail(QStringLiteral("\"%1\" is not an IPv4 address (a.b.c.d) or range (a.b.c.d/n)")
                        .arg(shown(text)));
    }
    if (slash < 0)
        return AddressRange(*address, 32);

    const QByteArrayView lengthText = text.sliced(slash + 1);
    bool numeric = !lengthText.isEmpty() && lengthText.size() <= 2;
    for (char c : lengthText)
        numeric = numeric && c >= '0' && c <= '9';
    const int length = numeric ? QByteArray(lengthText.data(), lengthText.size()).toInt() : -1;
    if (length < 0 || length > 32) {
        return fail(
            QStringLiteral("\"%1\": the prefix length after / must be a number from 0 to 32")
                .arg(shown(text)));
    }
    const AddressRange range(*address & (length == 0 ? 0u : ~0u << (32 - length)), length);
    if (range.m_network != *address) {
        return fail(QStringLiteral("\"%1\" has bits set beyond its /%2 prefix; the range is %3")
                        .arg(shown(text))
                        .arg(length)
                        .arg(QString::fromLatin1(range.text())));
    }
    return range;
}

quint32 AddressRange::mask() const
{
    return m_prefixLength == 0 ? 0u : ~0u << (32 - m_prefixLength);
}

bool AddressRange::contains(quint32 address) const
{
    return (address & mask()) == m_network;
}

bool AddressRange::contains(QByteArrayView address) const
{
    const std::optional<quint32> value = parseAddress(address);
    return value && contains(*value);
}

QByteArray AddressRange::text() const
{
    return isSingleAddress() ? dotted(m_network)
                             : dotted(m_network) + '/' + QByteArray::number(m_prefixLength);
}
