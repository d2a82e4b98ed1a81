#include "serverfile/serverfilemaker.h"

#include "core/codepage.h"
#include "platform/dialogs.h"
#include "platform/eventloop.h"

#include <QDir>
#include <QTemporaryFile>
#include <QtEndian>

#include <filesystem>
#include <system_error>

namespace {
const QString Title = QStringLiteral("Make Server File");
const QString Prompt = QStringLiteral(
    "Enter a Name for your server. Please be unique and avoid naming it after a state, as "
    "others may have already done this.");
const QString DefaultName = QStringLiteral("My Server");
const QString Extension = QStringLiteral(".tkl");

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Clears the busy mark however the run ends.
class BusyGuard
{
public:
    explicit BusyGuard(bool &busy) : m_busy(busy) { m_busy = true; }
    ~BusyGuard() { m_busy = false; }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    bool &m_busy;
};
} // namespace

ServerFileMaker::ServerFileMaker(const ServerConfig &config, Dialogs &dialogs,
                                 AddressSource localAddress, QObject *parent)
    : QObject(parent), m_config(config), m_dialogs(dialogs), m_localAddress(std::move(localAddress))
{
}

QByteArray ServerFileMaker::plainContent(const QByteArray &name, const QByteArray &address)
{
    return name + "\r\n\"" + address + "\"\r\n";
}

qint64 ServerFileMaker::progressPeriod(qint64 length)
{
    const qint64 whole = length / 100;
    const qint64 rest = length % 100;
    if (rest > 50 || (rest == 50 && whole % 2 == 1))
        return whole + 1;
    return whole;
}

bool ServerFileMaker::isValidName(const QString &name)
{
    // Characters no desktop file system takes in a file name; a path
    // separator would also put the file outside the program folder.
    static const QString Reserved = QStringLiteral("\\/:*?\"<>|");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || Reserved.contains(c))
            return false;
    }
    return true;
}

bool ServerFileMaker::make(const QString &selectedRow)
{
    if (m_busy) {
        m_dialogs.messageBox(
            QStringLiteral("A server file is being made already. Please wait until it is done."),
            Title, Dialogs::Icon::Warning);
        return false;
    }
    BusyGuard guard(m_busy);
    const QString name =
        m_dialogs.inputBox(Prompt, QStringLiteral("Who:") + selectedRow, DefaultName);
    if (!isValidName(name)) {
        fail(QStringLiteral("\"%1\" cannot be used as a file name. Nothing was written.")
                 .arg(name + Extension));
        return false;
    }
    return makeFile(name);
}

bool ServerFileMaker::makeFile(const QString &name)
{
    const QDir folder(m_config.programFolder);
    const QString target = folder.filePath(name + Extension);
    // Written and encoded under a temporary name, then put in place in one
    // step: a failure never leaves a half-made server file behind.
    QTemporaryFile file(folder.filePath(QStringLiteral(".serverfile-XXXXXX")));
    const QByteArray plain = plainContent(Codepage::fromDisplay(name), m_localAddress());
    if (!file.open() || file.write(plain) != plain.size() || !file.flush()) {
        fail(QStringLiteral("The server file could not be written in %1: %2")
                 .arg(QDir::toNativeSeparators(folder.path()), file.errorString()));
        return false;
    }

    Q_EMIT nameChanged(name);
    Q_EMIT barShown();
    m_length = plain.size();
    m_period = progressPeriod(m_length);
    m_counter = 0;
    m_filled = 0;
    const bool encoded = encode(file, m_length);
    Q_EMIT barHidden();
    const QString encodeError = file.errorString();
    file.close();

    std::error_code renameError;
    if (encoded) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ReadGroup | QFileDevice::ReadOther);
        std::filesystem::rename(nativePath(file.fileName()), nativePath(target), renameError);
    }
    if (!encoded || renameError) {
        Q_EMIT nameChanged(m_lastName);
        const QString reason =
            encoded ? QString::fromLocal8Bit(renameError.message().c_str()) : encodeError;
        fail(QStringLiteral("The server file %1 could not be written: %2")
                 .arg(QDir::toNativeSeparators(target), reason));
        return false;
    }
    file.setAutoRemove(false);
    m_lastName = name;
    return true;
}

bool ServerFileMaker::encode(QFile &file, qint64 length)
{
    for (qint64 p = 0; p < length; ++p) {
        // Bytes past the end read as zero: the last three positions each
        // lengthen the file by one byte.
        uchar window[4] = {0, 0, 0, 0};
        if (!file.seek(p) || file.read(reinterpret_cast<char *>(window), 4) < 0)
            return false;
        const quint32 value = qFromLittleEndian<quint32>(window) + 1u;
        qToLittleEndian(value, window);
        if (!file.seek(p) || file.write(reinterpret_cast<const char *>(window), 4) != 4)
            return false;
        progressStep();
        yieldEventLoop();
    }
    return file.flush();
}

void ServerFileMaker::progressStep()
{
    if (m_counter < m_period) {
        ++m_counter;
        return;
    }
    m_counter = 0;
    m_filled += 1.0 / double(m_length < 101 ? m_length : 100);
    Q_EMIT barAdvanced(m_filled);
}

void ServerFileMaker::fail(const QString &text)
{
    m_dialogs.messageBox(text, Title, Dialogs::Icon::Critical);
}
