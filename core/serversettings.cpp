#include "core/serversettings.h"

#include <QFileInfo>
#include <QSettings>

namespace {
QString describe(QSettings::Status status)
{
    return status == QSettings::AccessError ? QStringLiteral("it cannot be read")
                                            : QStringLiteral("it is not a valid settings file");
}
} // namespace

std::optional<bool> ServerSettings::readBool(const QSettings &file, const QString &key,
                                             bool fallback, QStringList *problems)
{
    const QVariant value = file.value(key);
    if (!value.isValid())
        return fallback;
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true"))
        return true;
    if (text == QLatin1String("false"))
        return false;
    problems->append(QStringLiteral("%1 is \"%2\", not true or false").arg(key, value.toString()));
    return std::nullopt;
}

bool ServerSettings::load(QString *problem)
{
    m_passwordsRequired = false;
    QStringList problems;
    const QFileInfo info(m_path);
    if (info.exists() && (!info.isFile() || !info.isReadable())) {
        problems.append(describe(QSettings::AccessError));
    } else if (info.exists()) {
        const QSettings file(m_path, QSettings::IniFormat);
        if (file.status() != QSettings::NoError)
            problems.append(describe(file.status()));
        else
            m_passwordsRequired =
                readBool(file, PasswordsRequiredKey, false, &problems).value_or(false);
    }
    if (problems.isEmpty())
        return true;
    if (problem) {
        *problem = QStringLiteral("The settings file %1 is not used as it stands (%2); the "
                                  "defaults apply until a setting is changed.")
                       .arg(m_path, problems.join(QStringLiteral("; ")));
    }
    return false;
}

bool ServerSettings::setPasswordsRequired(bool required, QString *errorText)
{
    m_passwordsRequired = required;
    return save(errorText);
}

bool ServerSettings::save(QString *errorText)
{
    QSettings file(m_path, QSettings::IniFormat);
    file.setValue(PasswordsRequiredKey, m_passwordsRequired);
    file.sync();
    if (file.status() == QSettings::NoError) {
        m_saveError.clear();
        return true;
    }
    m_saveError = QStringLiteral("The settings file %1 could not be written.").arg(m_path);
    if (errorText)
        *errorText = m_saveError;
    return false;
}
