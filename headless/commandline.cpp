#include "headless/commandline.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {
// The toolkit's own options of the windowed program (-platform offscreen, ...)
// still reach it; they are accepted here and mean nothing headless.
struct ToolkitOption
{
    const char *name;
    bool takesValue;
};
constexpr ToolkitOption ToolkitOptions[] = {{"platform", true},
                                            {"platformpluginpath", true},
                                            {"platformtheme", true},
                                            {"plugin", true},
                                            {"display", true},
                                            {"geometry", true},
                                            {"qwindowgeometry", true},
                                            {"title", true},
                                            {"qwindowtitle", true},
                                            {"icon", true},
                                            {"qwindowicon", true},
                                            {"style", true},
                                            {"stylesheet", true},
                                            {"session", true},
                                            {"reverse", false},
                                            {"widgetcount", false},
                                            {"nograb", false},
                                            {"dograb", false},
                                            {"sync", false}};

const QCommandLineOption DataDir(QStringLiteral("data-dir"),
                                 QStringLiteral("Folder for the server's files."),
                                 QStringLiteral("DIR"));
const QCommandLineOption Json(QStringLiteral("json"),
                              QStringLiteral("One JSON object per result."));
const QCommandLineOption Follow(QStringLiteral("follow"), QStringLiteral("Keep streaming."));
// The ban commands' options, passed on to the server as they are.
const QCommandLineOption BanFor(QStringLiteral("for"), QStringLiteral("How long a ban lasts."),
                                QStringLiteral("DURATION"));
const QCommandLineOption BanReason(QStringLiteral("reason"), QStringLiteral("Why."),
                                   QStringLiteral("TEXT"));

// Every option with a text that some control command takes.
QList<QCommandLineOption> valueOptions()
{
    QStringList names;
    for (const ControlProtocol::CommandForm &form : ControlProtocol::commands()) {
        for (const QString &name : form.valueOptions) {
            if (!names.contains(name))
                names.append(name);
        }
    }
    QList<QCommandLineOption> options;
    for (const QString &name : std::as_const(names))
        options.append(QCommandLineOption(name, QString(), QStringLiteral("TEXT")));
    return options;
}

constexpr int SummaryColumn = 28;

QString commandUsage(const ControlProtocol::CommandForm &form)
{
    QString words = form.name;
    if (!form.argumentsHelp.isEmpty())
        words += QLatin1Char(' ') + form.argumentsHelp;
    if (!form.requiredOption.isEmpty())
        words += QStringLiteral(" --") + form.requiredOption;
    if (form.valueOptions == ControlProtocol::accountFieldOptions()) {
        words += QStringLiteral(" [FIELDS]");
    } else {
        for (const QString &option : form.valueOptions) {
            words += QStringLiteral(" [--%1 %2]")
                         .arg(option, option == QLatin1String("for") ? QStringLiteral("DURATION")
                                                                     : QStringLiteral("TEXT"));
        }
    }
    return words;
}

QString fieldsText()
{
    QString fields = QStringLiteral("\nFIELDS of accounts add, each as --FIELD TEXT:");
    qsizetype lineStart = 1;
    for (const QString &field : ControlProtocol::accountFieldOptions()) {
        if (fields.size() - lineStart + field.size() >= 79) {
            fields += QStringLiteral("\n ");
            lineStart = fields.size() - 1;
        }
        fields += QLatin1Char(' ') + field;
    }
    return fields + QLatin1Char('\n');
}

// Every command with its summary in one column; a long usage puts its
// summary on the next line.
QString commandsText()
{
    QString text;
    for (const ControlProtocol::CommandForm &form : ControlProtocol::commands()) {
        const QString words = QStringLiteral("  ") + commandUsage(form);
        if (words.size() > SummaryColumn - 2)
            text += words + QLatin1Char('\n') + QString(SummaryColumn, QLatin1Char(' '));
        else
            text += words.leftJustified(SummaryColumn);
        text += form.summary + QLatin1Char('\n');
    }
    return text + fieldsText();
}

const QString ControlUsage =
    QStringLiteral("Usage: tarnwick-server ctl [--data-dir DIR] [--json] COMMAND [ARGS]\n");
const QString ExitStatusText = QStringLiteral(
    "Exit status of ctl: 0 done, 1 refused or failed, 2 bad usage, 3 no server running.\n");

QString controlHelpText()
{
    return ControlUsage +
           QStringLiteral(
               "\n"
               "Sends COMMAND to the server running on the data folder.\n"
               "\n"
               "Options:\n"
               "  -h, --help        Show this help, or COMMAND's, and exit.\n"
               "  --data-dir DIR    The server's data folder. Without it: the program's folder,\n"
               "                    or " TARNWICK_INSTALLED_DATA_FOLDER
               " when a server runs there\n"
               "                    and none in the program's folder.\n"
               "  --json            Print each answer as one JSON object.\n"
               "\n"
               "Commands:\n") +
           commandsText() + QLatin1Char('\n') + ExitStatusText;
}

QString commandHelpText(const ControlProtocol::CommandForm &form)
{
    QString text = QStringLiteral("Usage: tarnwick-server ctl [--data-dir DIR] [--json] %1\n\n%2\n")
                       .arg(commandUsage(form), form.summary);
    if (form.valueOptions == ControlProtocol::accountFieldOptions())
        text += fieldsText();
    return text;
}

Invocation helpAnswer(const QString &text)
{
    Invocation invocation;
    invocation.mode = Invocation::Mode::Help;
    invocation.message = text;
    return invocation;
}

Invocation badUsage(const QString &message)
{
    Invocation invocation;
    invocation.mode = Invocation::Mode::BadUsage;
    invocation.message = message + QStringLiteral("\nTry 'tarnwick-server --help'.");
    return invocation;
}

Invocation parseControl(const QStringList &arguments, const QString &dataFolder)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help."));
    parser.addOptions({helpOption, DataDir, Json, Follow});
    const QList<QCommandLineOption> textOptions = valueOptions();
    parser.addOptions(textOptions);
    if (!parser.parse(QStringList{QStringLiteral("ctl")} + arguments))
        return badUsage(parser.errorText());
    const QStringList words = parser.positionalArguments();
    if (words.isEmpty()) {
        return parser.isSet(helpOption) ? helpAnswer(controlHelpText())
                                        : badUsage(QStringLiteral("ctl needs a command."));
    }
    int consumed = 0;
    const ControlProtocol::CommandForm *form = ControlProtocol::findCommand(words, &consumed);
    if (!form)
        return badUsage(QStringLiteral("There is no control command \"%1\".").arg(words.join(' ')));
    if (parser.isSet(helpOption))
        return helpAnswer(commandHelpText(*form));

    Invocation invocation;
    invocation.mode = Invocation::Mode::Control;
    invocation.command = form;
    invocation.dataFolder = parser.isSet(DataDir) ? parser.value(DataDir) : dataFolder;
    invocation.json = parser.isSet(Json);
    QStringList rest = words.mid(consumed);
    const QString usage =
        QStringLiteral("Usage: tarnwick-server ctl %1 %2").arg(form->name, form->argumentsHelp);
    if (form->input == ControlProtocol::Input::Text && form->fileArgumentOptional) {
        if (rest.size() > 1)
            return badUsage(usage.trimmed());
        invocation.inputFile = rest.value(0);
        if (invocation.inputFile == QLatin1String("-"))
            invocation.inputFile.clear();
        rest.clear();
    }
    if (form->joinsRest && rest.size() >= form->arguments && form->arguments > 0) {
        const QString joined = rest.mid(form->arguments - 1).join(QLatin1Char(' '));
        rest = rest.mid(0, form->arguments - 1) << joined;
    }
    if (rest.size() != form->arguments ||
        (!form->choices.isEmpty() && !form->choices.contains(rest.value(0))))
        return badUsage(usage.trimmed());
    if (parser.isSet(Follow) != (form->requiredOption == Follow.names().constFirst()))
        return badUsage(form->requiredOption.isEmpty()
                            ? QStringLiteral("--follow belongs to the log command.")
                            : usage.trimmed() + QStringLiteral(" --") + form->requiredOption);
    for (const QCommandLineOption &option : textOptions) {
        const QString name = option.names().constFirst();
        if (!parser.isSet(option))
            continue;
        if (!form->valueOptions.contains(name)) {
            return badUsage(QStringLiteral("The %1 command takes no --%2.").arg(form->name, name));
        }
        invocation.options.insert(name, parser.value(option));
    }
    invocation.arguments = rest;
    return invocation;
}
} // namespace

Invocation parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Everything after "ctl" belongs to the control command.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("Run without a window."));
    parser.addOptions({help, version, headless, DataDir});
    for (const ToolkitOption &option : ToolkitOptions) {
        QCommandLineOption toolkit(QString::fromLatin1(option.name));
        if (option.takesValue)
            toolkit.setValueName(QStringLiteral("VALUE"));
        parser.addOption(toolkit);
    }
    if (!parser.parse(arguments))
        return badUsage(parser.errorText());

    const QStringList positional = parser.positionalArguments();
    const QString dataFolder = parser.value(DataDir);
    Invocation invocation;
    if (parser.isSet(help)) {
        return helpAnswer(helpText());
    } else if (parser.isSet(version)) {
        invocation.mode = Invocation::Mode::Version;
        invocation.message = versionText();
    } else if (!positional.isEmpty() && positional.constFirst() == QLatin1String("ctl")) {
        return parseControl(positional.mid(1), dataFolder);
    } else if (!positional.isEmpty()) {
        return badUsage(QStringLiteral("Unexpected argument \"%1\".").arg(positional.constFirst()));
    } else {
        invocation.mode =
            parser.isSet(headless) ? Invocation::Mode::Headless : Invocation::Mode::Window;
        invocation.dataFolder = dataFolder;
    }
    return invocation;
}

std::optional<int> answerWithoutRunning(const Invocation &invocation)
{
    switch (invocation.mode) {
    case Invocation::Mode::Help:
    case Invocation::Mode::Version:
        std::fputs(invocation.message.toLocal8Bit().constData(), stdout);
        return Invocation::Done;
    case Invocation::Mode::BadUsage:
        std::fprintf(stderr, "tarnwick-server: %s\n", invocation.message.toLocal8Bit().constData());
        return Invocation::BadUsageExit;
    case Invocation::Mode::Window:
    case Invocation::Mode::Headless:
    case Invocation::Mode::Control:
        break;
    }
    return std::nullopt;
}

QString versionText()
{
    return QStringLiteral("tarnwick-server " TARNWICK_VERSION "\n");
}

QString helpText()
{
    QString text = QStringLiteral(
        "Usage: tarnwick-server [--headless] [--data-dir DIR]\n"
        "       tarnwick-server ctl [--data-dir DIR] [--json] COMMAND [ARGS]\n"
        "\n"
        "Runs the chat service (TCP port 3069) and the login service (TCP port 3068).\n"
        "\n"
        "Options:\n"
        "  -h, --help        Show this help and exit.\n"
        "  --version         Show the version and exit.\n"
        "  --headless        Run without a window; lines go to standard error.\n"
        "  --data-dir DIR    Keep ban.txt, sysops.dat, users.mdb, motd.txt, server files,\n"
        "                    tarnwick-server.ini and the control socket in DIR instead of\n"
        "                    the program's folder.\n"
        "\n"
        "Control commands, sent to the server running on that folder (see\n"
        "'tarnwick-server ctl --help'):\n");
    text += commandsText();
    text += QLatin1Char('\n') + ExitStatusText;
    text += QStringLiteral(
        "Signals: SIGTERM and SIGINT stop the server cleanly, SIGHUP reloads (as ctl reload).\n");
    return text;
}

QString defaultControlFolder(const QString &programFolder)
{
    const auto running = [](const QString &folder) {
        return QFileInfo::exists(QDir(folder).filePath(ControlProtocol::SocketName));
    };
    const QString installed = QStringLiteral(TARNWICK_INSTALLED_DATA_FOLDER);
    return !running(programFolder) && running(installed) ? installed : programFolder;
}
