#include "serverfile/serverfilemaker.h"

#include "core/codepage.h"
#include "core/textfile.h"
#include "platform/dialogs.h"

#include <QDir>
#include <QtEndian>

namespace {
const QString Title = QStringLiteral("Make Server File");
const QString Prompt = QStringLiteral(
    "Enter a Name for your server. Please be unique and avoid naming it after a state, as "
    "others may have already done this.");
const QString DefaultName = QStringLiteral("My Server");
const QString Extension = ServerConfig::ServerFileExtension;

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

QString ServerFileMaker::title()
{
    return Title;
}

QString ServerFileMaker::namePrompt()
{
    return Prompt;
}

QString ServerFileMaker::defaultName()
{
    return DefaultName;
}

QString ServerFileMaker::busyText()
{
    return QStringLiteral("A server file is being made already. Please wait until it is done.");
}

bool ServerFileMaker::make(const QString &selectedRow)
{
    if (m_busy) {
        m_dialogs.messageBox(busyText(), Title, Dialogs::Icon::Warning);
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
    const QString target = QDir(m_config.programFolder).filePath(name + Extension);
    QByteArray content = plainContent(Codepage::fromDisplay(name), m_localAddress());

    Q_EMIT nameChanged(name);
    Q_EMIT barShown();
    m_length = content.size();
    m_period = progressPeriod(m_length);
    m_counter = 0;
    m_filled = 0;
    encode(content);
    Q_EMIT barHidden();

    // Put in place in one step: a failure never leaves a half-made server
    // file behind. It is made to be handed out, so everybody may read it.
    QString error;
    if (!TextFile::replace(target, content, TextFile::ReadOnlyFolder::Fails, &error,
                           TextFile::Access::ReadableByAll)) {
        Q_EMIT nameChanged(m_lastName);
        fail(QStringLiteral("The server file %1 could not be written: %2")
                 .arg(QDir::toNativeSeparators(target), error));
        return false;
    }
    m_lastName = name;
    return true;
}

void ServerFileMaker::encode(QByteArray &content)
{
    const qint64 length = content.size();
    // Bytes past the end read as zero: the last three positions each
    // lengthen the content by one byte.
    content.append(3, '\0');
    for (qint64 p = 0; p < length; ++p) {
        auto *window = reinterpret_cast<uchar *>(content.data() + p);
        qToLittleEndian(qFromLittleEndian<quint32>(window) + 1u, window);
        progressStep();
    }
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
