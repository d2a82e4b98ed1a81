#include "core/settingsfile.h"

#include "core/textfile.h"

#include <algorithm>

namespace {
const QByteArray ByteOrderMark = "\xef\xbb\xbf";

// As QByteArray::trimmed() sees it.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

QByteArray keyOf(const QByteArray &section, const QByteArray &name)
{
    return section + ']' + name;
}

QByteArray unquoted(const QByteArray &value)
{
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        return value.sliced(1, value.size() - 2);
    return value;
}
} // namespace

bool SettingsFile::read(const QString &path, QString *errorText)
{
    const std::optional<QByteArray> bytes =
        TextFile::read(path, TextFile::Missing::ReadsAsEmpty, errorText);
    if (!bytes)
        return false;
    parse(*bytes);
    return true;
}

void SettingsFile::parse(const QByteArray &bytes)
{
    m_lines.clear();
    m_values.clear();
    m_sectionEnds.clear();
    m_problems.clear();
    m_lineEnd = "\n";
    for (qsizetype start = 0; start < bytes.size();) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype stop = newline < 0 ? bytes.size() : newline;
        const bool crlf = stop > start && bytes[stop - 1] == '\r';
        const qsizetype textEnd = crlf && newline >= 0 ? stop - 1 : stop;
        m_lines.append({bytes.sliced(start, textEnd - start),
                        newline < 0 ? QByteArray() : QByteArray(crlf ? "\r\n" : "\n")});
        start = newline < 0 ? bytes.size() : newline + 1;
    }
    if (!m_lines.isEmpty() && !m_lines.constFirst().end.isEmpty())
        m_lineEnd = m_lines.constFirst().end;

    // Lines under a header that is not understood are the header's problem.
    enum class Under
    {
        NoSection,
        KnownSection,
        IgnoredSection
    } under = Under::NoSection;
    QByteArray section;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QByteArray &raw = m_lines[i].text;
        const QByteArray text =
            (i == 0 && raw.startsWith(ByteOrderMark) ? raw.sliced(ByteOrderMark.size()) : raw)
                .trimmed();
        if (text.isEmpty() || text.startsWith(';') || text.startsWith('#'))
            continue;
        if (text.startsWith('[')) {
            const qsizetype close = text.indexOf(']');
            if (close < 0) {
                report(i, QStringLiteral("%1 has no closing ]; the lines under it are ignored")
                              .arg(quoted(text)));
                under = Under::IgnoredSection;
                continue;
            }
            section = text.sliced(1, close - 1).trimmed();
            if (!knowsSection(section)) {
                report(i, QStringLiteral("[%1] is not a section of this file; the lines under it "
                                         "are ignored")
                              .arg(printable(section)));
                under = Under::IgnoredSection;
                continue;
            }
            if (close + 1 < text.size())
                report(i, QStringLiteral("%1 after [%2] means nothing; ignored")
                              .arg(quoted(text.sliced(close + 1).trimmed()), printable(section)));
            under = Under::KnownSection;
            m_sectionEnds[section] = i;
            continue;
        }
        if (under == Under::IgnoredSection)
            continue;
        const qsizetype equals = text.indexOf('=');
        if (equals < 0) {
            report(i, QStringLiteral("%1 is neither a setting (key=value), a [section] nor a "
                                     "comment; ignored")
                          .arg(quoted(text)));
            continue;
        }
        if (under == Under::NoSection) {
            report(i, QStringLiteral("%1 comes before any [section]; ignored").arg(quoted(text)));
            continue;
        }
        m_sectionEnds[section] = i;
        const QByteArray name = text.first(equals).trimmed();
        if (!find(section, name)) {
            report(i, QStringLiteral("%1 is not a setting of [%2]; ignored")
                          .arg(quoted(name), printable(section)));
            continue;
        }
        const QByteArray key = keyOf(section, name);
        if (const auto earlier = m_values.constFind(key); earlier != m_values.cend()) {
            report(earlier->line, QStringLiteral("%1 is set again on line %2, which counts; this "
                                                 "line is ignored")
                                      .arg(printable(name))
                                      .arg(i + 1));
        }
        qsizetype start = raw.indexOf('=') + 1;
        qsizetype end = raw.size();
        while (start < end && isBlank(raw[start]))
            ++start;
        while (end > start && isBlank(raw[end - 1]))
            --end;
        m_values[key] = {i, start, end};
    }

    for (const Key &key : std::as_const(m_schema)) {
        const auto found = m_values.constFind(keyOf(key.section, key.name));
        if (found == m_values.cend())
            continue;
        const QByteArray &raw = m_lines[found->line].text;
        const QByteArray value = unquoted(raw.sliced(found->start, found->end - found->start));
        for (const QString &problem : key.read(value))
            report(found->line,
                   QStringLiteral("%1: %2").arg(QString::fromLatin1(key.name), problem));
    }
    std::stable_sort(m_problems.begin(), m_problems.end(),
                     [](const Problem &a, const Problem &b) { return a.line < b.line; });
}

void SettingsFile::setValue(const QByteArray &section, const QByteArray &name,
                            const QByteArray &value)
{
    Q_ASSERT(find(section, name));
    if (const auto found = m_values.constFind(keyOf(section, name)); found != m_values.cend()) {
        m_lines[found->line].text.replace(found->start, found->end - found->start, value);
    } else if (const auto end = m_sectionEnds.constFind(section); end != m_sectionEnds.cend()) {
        insertLine(*end + 1, name + '=' + value);
    } else {
        if (!m_lines.isEmpty() && !m_lines.constLast().text.trimmed().isEmpty())
            insertLine(m_lines.size(), QByteArray());
        insertLine(m_lines.size(), '[' + section + ']');
        insertLine(m_lines.size(), name + '=' + value);
    }
    parse(bytes());
}

QByteArray SettingsFile::bytes() const
{
    QByteArray all;
    for (const Line &line : m_lines)
        all += line.text + line.end;
    return all;
}

bool SettingsFile::write(const QString &path, QString *errorText) const
{
    return TextFile::replace(path, bytes(), TextFile::ReadOnlyFolder::Fails, errorText);
}

QString SettingsFile::printable(QByteArrayView text)
{
    constexpr qsizetype Longest = 60;
    QString shown;
    for (const char c : text.first(std::min(text.size(), Longest))) {
        if (c >= ' ' && c <= '~' && c != '\\')
            shown += QLatin1Char(c);
        else
            shown += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return text.size() > Longest ? shown + QStringLiteral("...") : shown;
}

QString SettingsFile::quoted(QByteArrayView text)
{
    return QLatin1Char('"') + printable(text) + QLatin1Char('"');
}

const SettingsFile::Key *SettingsFile::find(const QByteArray &section, const QByteArray &name) const
{
    const auto found = std::find_if(m_schema.cbegin(), m_schema.cend(), [&](const Key &key) {
        return key.section == section && key.name == name;
    });
    return found == m_schema.cend() ? nullptr : &*found;
}

bool SettingsFile::knowsSection(const QByteArray &section) const
{
    return std::any_of(m_schema.cbegin(), m_schema.cend(),
                       [&](const Key &key) { return key.section == section; });
}

void SettingsFile::report(qsizetype line, const QString &text)
{
    m_problems.append({int(line + 1), text});
}

void SettingsFile::insertLine(qsizetype at, const QByteArray &text)
{
    // A last line without an ending gets one before anything follows it.
    if (at > 0 && m_lines[at - 1].end.isEmpty())
        m_lines[at - 1].end = m_lineEnd;
    m_lines.insert(at, {text, m_lineEnd});
}
