#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// An IPv4 address or CIDR range as the operator writes it: "10.1.2.3" or
// "10.1.0.0/16". Addresses are strict dotted quads (four decimal parts 0..255,
// no leading zeros), so a text that parses has exactly one written form.
class AddressRange
{
public:
    static std::optional<quint32> parseAddress(QByteArrayView text);
    // Nothing, with the reason in errorText, for anything else: a bad address,
    // a prefix length outside 0..32, or bits set beyond the prefix.
    static std::optional<AddressRange> parse(QByteArrayView text, QString *errorText = nullptr);

    bool contains(quint32 address) const;
    bool contains(QByteArrayView address) const;
    bool isSingleAddress() const { return m_prefixLength == 32; }
    int prefixLength() const { return m_prefixLength; }
    // "a.b.c.d" for one address, "a.b.c.d/n" for a wider range.
    QByteArray text() const;

    friend bool operator==(const AddressRange &, const AddressRange &) = default;

private:
    AddressRange(quint32 network, int prefixLength);
    quint32 mask() const;

    quint32 m_network = 0;
    int m_prefixLength = 32;
};
