#include "admin/sysoplist.h"

#include "core/passwordhash.h"
#include "core/textfile.h"

namespace {

// The record lines of the file: the pieces between CR LF line ends, without
// the first line and without a last piece that has no CR LF.
QList<QByteArray> recordLines(const QByteArray &content)
{
    const QList<QByteArray> pieces = content.split('\n');
    // Pieces are cut on CR LF: a piece counts only when its LF follows a CR.
    QList<QByteArray> lines;
    QByteArray current;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const bool last = i == pieces.size() - 1;
        current += pieces[i];
        if (last) {
            lines.append(current); // the unterminated tail
        } else if (current.endsWith('\r')) {
            current.chop(1);
            lines.append(current);
            current.clear();
        } else {
            current += '\n';
        }
    }
    if (lines.size() < 2)
        return {};
    return lines.mid(1, lines.size() - 2);
}

} // namespace

QList<SysopRecord> SysopList::parse(const QByteArray &content)
{
    QList<SysopRecord> records;
    for (const QByteArray &line : recordLines(content)) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        SysopRecord record;
        record.name = fields.value(0);
        record.email = fields.value(1);
        record.password = fields.value(2);
        records.append(record);
    }
    return records;
}

QByteArray SysopList::serialize(const QList<SysopRecord> &records)
{
    QByteArray content = "\r\n";
    for (const SysopRecord &r : records)
        content += r.name + '\t' + r.email + '\t' + r.password + "\r\n";
    return content;
}

std::optional<QList<SysopRecord>> SysopList::load(const QString &path, QString *errorText)
{
    const std::optional<QByteArray> content =
        TextFile::read(path, TextFile::Missing::ReadsAsEmpty, errorText);
    if (!content)
        return std::nullopt;
    return parse(*content);
}

bool SysopList::save(const QString &path, const QList<SysopRecord> &records, QString *errorText)
{
    for (const SysopRecord &r : records) {
        if (!isStorable(r.name) || !isStorable(r.email) || !isStorable(r.password)) {
            if (errorText)
                *errorText = QStringLiteral("a record holds a tab or a line break");
            return false;
        }
    }
    return TextFile::replace(path, serialize(records), TextFile::ReadOnlyFolder::Fails, errorText);
}

bool SysopList::isSysop(const QByteArray &content, const QByteArray &email,
                        const QByteArray &password)
{
    // An empty e-mail or password proves nothing: a short record saved back by
    // the editor gets empty fields, and any client could send empty ones.
    return !password.isEmpty() && PasswordHash::matchesAny(password, passwordsOf(content, email));
}

QList<QByteArray> SysopList::passwordsOf(const QByteArray &content, const QByteArray &email)
{
    QList<QByteArray> passwords;
    if (email.isEmpty())
        return passwords;
    for (const QByteArray &line : recordLines(content)) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() >= 3 && fields[1] == email && !fields[2].isEmpty())
            passwords.append(fields[2]);
    }
    return passwords;
}

std::optional<QList<SysopRecord>> SysopList::hashed(QList<SysopRecord> records)
{
    for (SysopRecord &record : records) {
        if (record.password.isEmpty() || PasswordHash::isHash(record.password))
            continue;
        record.password = PasswordHash::make(record.password);
        if (record.password.isEmpty())
            return std::nullopt;
    }
    return records;
}

bool SysopList::isStorable(const QByteArray &text)
{
    return !text.contains('\t') && !text.contains('\r') && !text.contains('\n');
}
