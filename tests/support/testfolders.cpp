#include "testfolders.h"

#include "core/textfile.h"

#include <QFile>

QByteArray readFile(const QString &path)
{
    return TextFile::read(path, TextFile::Missing::ReadsAsEmpty).value_or(QByteArray());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    // Without the server's durable replace: a test folder needs no sync to disk.
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

TestFolders::TestFolders()
{
    config.programFolder = programFolder.path();
    config.workingDirectory = workingDirectory.path();
    config.chatPort = 0;
    config.loginPort = 0;
}

void TestFolders::writeProgramFile(const QString &name, const QByteArray &bytes) const
{
    if (!writeFile(programFile(name), bytes))
        qFatal("cannot write %s", qPrintable(programFile(name)));
}

void TestFolders::writeWorkingFile(const QString &name, const QByteArray &bytes) const
{
    if (!writeFile(workingFile(name), bytes))
        qFatal("cannot write %s", qPrintable(workingFile(name)));
}
