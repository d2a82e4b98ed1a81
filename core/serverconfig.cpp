#include "core/serverconfig.h"

#include <QCoreApplication>
#include <QDir>

ServerConfig ServerConfig::forThisProcess(const QString &dataFolder)
{
    ServerConfig config;
    config.programFolder = dataFolder.isEmpty() ? QCoreApplication::applicationDirPath()
                                                : QDir(dataFolder).absolutePath();
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
