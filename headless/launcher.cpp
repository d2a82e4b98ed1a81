#include "headless/launcher.h"

#include "headless/commandline.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

#ifndef TARNWICK_HEADLESS_PROGRAM
#define TARNWICK_HEADLESS_PROGRAM "tarnwick-serverd"
#endif

namespace {
QString ownFolder()
{
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}
} // namespace

QString headlessProgramPath(const QString &programFolder)
{
    const QDir folder(programFolder);
    for (const QString &candidate :
         {folder.absoluteFilePath(QStringLiteral(TARNWICK_HEADLESS_PROGRAM)),
          folder.absoluteFilePath(QStringLiteral("tarnwick-serverd"))}) {
        if (QFileInfo(candidate).isExecutable())
            return QDir::cleanPath(candidate);
    }
    return QString();
}

int runWithoutWindow(const Invocation &invocation, int argc, char **argv)
{
    if (const std::optional<int> answered = answerWithoutRunning(invocation))
        return *answered;
    const QString programFolder = ownFolder();
    const QString headless = headlessProgramPath(programFolder);
    if (headless.isEmpty()) {
        std::fprintf(stderr, "tarnwick-server: the headless program %s is missing.\n",
                     TARNWICK_HEADLESS_PROGRAM);
        return Invocation::Failed;
    }
    // The files stay where the windowed program would keep them: its folder.
    const QByteArray program = QFile::encodeName(headless);
    const QByteArray folder = QFile::encodeName(invocation.mode == Invocation::Mode::Control
                                                    ? defaultControlFolder(programFolder)
                                                    : programFolder);
    std::vector<char *> arguments{const_cast<char *>(program.constData())};
    if (invocation.dataFolder.isEmpty()) {
        arguments.push_back(const_cast<char *>("--data-dir"));
        arguments.push_back(const_cast<char *>(folder.constData()));
    }
    for (int i = 1; i < argc; ++i)
        arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    ::execv(program.constData(), arguments.data());
    std::fprintf(stderr, "tarnwick-server: cannot start %s: %s\n", program.constData(),
                 std::strerror(errno));
    return Invocation::Failed;
}
