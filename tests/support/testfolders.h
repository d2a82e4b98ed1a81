#pragma once

#include "core/serverconfig.h"

#include <QByteArray>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The bytes of a file; a missing or unreadable one reads as empty.
QByteArray readFile(const QString &path);
// Replaces the file whole; false when it cannot.
bool writeFile(const QString &path, const QByteArray &bytes);

// A program folder and a working directory of the test's own, and a
// configuration that serves from them on ephemeral ports.
struct TestFolders
{
    TestFolders();

    QTemporaryDir programFolder;
    QTemporaryDir workingDirectory;
    ServerConfig config;

    QString programFile(const QString &name) const { return config.programFile(name); }
    QString workingFile(const QString &name) const { return config.workingFile(name); }
    QByteArray readProgramFile(const QString &name) const { return readFile(programFile(name)); }
    QByteArray readWorkingFile(const QString &name) const { return readFile(workingFile(name)); }
    // These end the run when the file cannot be written.
    void writeProgramFile(const QString &name, const QByteArray &bytes) const;
    void writeWorkingFile(const QString &name, const QByteArray &bytes) const;
};

// A test class whose every function starts in a new empty folder.
class FolderTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
    }

protected:
    std::unique_ptr<QTemporaryDir> m_folder;
};
