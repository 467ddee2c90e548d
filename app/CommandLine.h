#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

class QTextStream;

// What keycrate's programs share on their command lines: -h/--help and
// -v/--version print and end with 0, an unknown option is reported and ends
// with 2. Options are words after a single or a double dash alike ("-s",
// "--timeout"), as Qt's own options are.
class CommandLine
{
public:
    enum : int { Proceed = -1, Usage = 2 };

    // help: the whole text --help prints.
    CommandLine(const QString &program, const QString &help);

    void addOption(const QCommandLineOption &option) { m_parser.addOption(option); }
    // The options Qt's GUI application takes itself, accepted and left to it.
    void acceptGuiOptions();

    // arguments: without the program name. Returns the exit status when the
    // program is done (help, version or a usage error printed), else Proceed.
    int parse(const QStringList &arguments, QTextStream &out, QTextStream &err);

    const QCommandLineParser &parser() const { return m_parser; }

    static QString version();

private:
    QString m_program;
    QString m_help;
    QCommandLineParser m_parser;
    QCommandLineOption m_helpOption;
    QCommandLineOption m_versionOption;
};
