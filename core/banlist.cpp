#include "core/banlist.h"

#include "core/textfile.h"

QList<QByteArray> BanList::readItems(const QString &path, QString *errorText)
{
    const std::optional<QByteArray> content =
        TextFile::read(path, TextFile::Missing::ReadsAsEmpty, errorText);
    return content ? parseItems(*content) : QList<QByteArray>();
}

QList<QByteArray> BanList::parseItems(const QByteArray &content)
{
    QList<QByteArray> items;
    const qsizetype size = content.size();
    qsizetype i = 0;
    while (i < size) {
        // Leading blanks of an item are not part of it.
        while (i < size && (content[i] == ' ' || content[i] == '\t'))
            ++i;
        QByteArray item;
        if (i < size && content[i] == '"') {
            const qsizetype close = content.indexOf('"', i + 1);
            const qsizetype end = close < 0 ? size : close;
            item = content.mid(i + 1, end - i - 1);
            i = close < 0 ? size : close + 1;
            // Anything after the closing quote up to the separator is dropped.
            while (i < size && content[i] != ',' && content[i] != '\r' && content[i] != '\n')
                ++i;
        } else {
            const qsizetype start = i;
            while (i < size && content[i] != ',' && content[i] != '\r' && content[i] != '\n')
                ++i;
            item = content.mid(start, i - start).trimmed();
        }
        const bool lineEnd = i < size && (content[i] == '\r' || content[i] == '\n');
        const bool emptyLine = item.isEmpty() && lineEnd;
        if (!emptyLine)
            items.append(item);
        // One separator: a comma, or a line end (CR LF counts once).
        if (i < size) {
            if (content[i] == '\r' && i + 1 < size && content[i + 1] == '\n')
                i += 2;
            else
                ++i;
        }
    }
    return items;
}

bool BanList::append(const QString &path, const QByteArray &address, QString *errorText)
{
    return TextFile::append(path, '"' + address + "\"\r\n", errorText);
}

QByteArray BanList::formatItems(const QList<QByteArray> &items)
{
    QByteArray content;
    for (const QByteArray &item : items) {
        if (item.isEmpty())
            continue;
        if (item.contains('"'))
            content += item + "\r\n";
        else
            content += '"' + item + "\"\r\n";
    }
    return content;
}
