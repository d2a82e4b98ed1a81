#include "core/serverconfig.h"

#include <QCoreApplication>
#include <QDir>

ServerConfig ServerConfig::forThisProcess()
{
    ServerConfig config;
    config.programFolder = QCoreApplication::applicationDirPath();
    config.workingDirectory = QDir::currentPath();
    return config;
}

QString ServerConfig::programFile(const QString &name) const
{
    return QDir(programFolder).filePath(name);
}

QString ServerConfig::workingFile(const QString &name) const
{
    return QDir(workingDirectory).filePath(name);
}
