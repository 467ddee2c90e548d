#include "CommandLine.h"

#include <QTextStream>

#ifndef KEYCRATE_VERSION
#error "KEYCRATE_VERSION must be defined by the build"
#endif

CommandLine::CommandLine(const QString &program, const QString &help)
    : m_program(program)
    , m_help(help)
    , m_helpOption(QStringList { QStringLiteral("h"), QStringLiteral("help") })
    , m_versionOption(QStringList { QStringLiteral("v"), QStringLiteral("version") })
{
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOption(m_helpOption);
    m_parser.addOption(m_versionOption);
}

void CommandLine::acceptGuiOptions()
{
    static const char *const withValue[] = { "platform",      "platformpluginpath",
                                             "platformtheme", "plugin",
                                             "display",       "style",
                                             "stylesheet",    "qwindowgeometry",
                                             "geometry",      "qwindowtitle",
                                             "title",         "qwindowicon",
                                             "icon",          "session",
                                             "name",          "qmljsdebugger" };
    static const char *const flags[] = { "reverse", "widgetcount", "nograb", "dograb", "sync" };
    for (const char *name : withValue) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        m_parser.addOption(option);
    }
    for (const char *name : flags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        m_parser.addOption(option);
    }
}

int CommandLine::parse(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (!m_parser.parse(QStringList { m_program } + arguments)) {
        err << m_program << ": " << m_parser.errorText() << "\n"
            << "Try '" << m_program << " --help' for more information.\n";
        err.flush();
        return Usage;
    }
    if (m_parser.isSet(m_helpOption)) {
        out << m_help;
        out.flush();
        return 0;
    }
    if (m_parser.isSet(m_versionOption)) {
        out << m_program << ' ' << version() << '\n';
        out.flush();
        return 0;
    }
    return Proceed;
}

QString CommandLine::version()
{
    return QStringLiteral(KEYCRATE_VERSION);
}
