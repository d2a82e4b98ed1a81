#pragma once

#include "platform/ownedfiles.h"

#include <QString>
#include <QStringList>

#include <optional>

class QSettings;

// The operator's settings, kept in tarnwick-server.ini in the data folder (INI
// format). A missing file or key means the default, so a fresh install behaves
// as one that never saved anything. A file that cannot be read or holds a
// value that makes no sense is reported and the defaults are used; it is
// written again only when the operator changes a setting, and then at once.
//
//   [passwords]
//   required=true|false
class ServerSettings
{
public:
    static inline const QString FileName = OwnedFiles::Settings;
    static inline const QString PasswordsRequiredKey = QStringLiteral("passwords/required");

    explicit ServerSettings(const QString &path) : m_path(path) {}

    const QString &path() const { return m_path; }

    // Reads the file. False when it could not be used as a whole or in part;
    // `problem` then says what is wrong and where, and the values affected
    // keep their defaults.
    bool load(QString *problem = nullptr);

    bool passwordsRequired() const { return m_passwordsRequired; }
    // Changes the setting and saves the file at once. The value is kept even
    // when the save fails; errorText then says why it could not be saved.
    bool setPasswordsRequired(bool required, QString *errorText = nullptr);
    // Why the last save failed; empty when it succeeded or none was made.
    const QString &saveError() const { return m_saveError; }

private:
    bool save(QString *errorText);
    static std::optional<bool> readBool(const QSettings &file, const QString &key, bool fallback,
                                        QStringList *problems);

    QString m_path;
    bool m_passwordsRequired = false;
    QString m_saveError;
};
