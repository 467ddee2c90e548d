#include "InstanceServer.h"
#include "MyQApplication.h"
#include "ScreenshotTour.h"

#include <QCommandLineParser>
#include <QFont>
#include <QSettings>
#include <cstdio>

// keycrate-screenshots --server URL --data DIR --out DIR [--user U --password P] FILE...
//
// Runs keycrate's application and window in this process, from this program's
// folder (library and lock list beside it), against the backup server at URL,
// and saves a picture of each tab into --out. tools/take-screenshots.sh sets
// up the folder, a private home and the server, and runs it under Xvfb.
int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.addOption(
        { QStringLiteral("server"), QStringLiteral("Backup server URL."), QStringLiteral("url") });
    parser.addOption(
        { QStringLiteral("data"), QStringLiteral("Library data folder."), QStringLiteral("dir") });
    parser.addOption(
        { QStringLiteral("out"), QStringLiteral("Where the pictures go."), QStringLiteral("dir") });
    parser.addOption({ QStringLiteral("user"), QStringLiteral("Account name."),
                       QStringLiteral("name"), QStringLiteral("demo") });
    parser.addOption({ QStringLiteral("password"), QStringLiteral("Account password."),
                       QStringLiteral("password"), QStringLiteral("keycrate-demo") });
    parser.addOption({ QStringLiteral("font"),
                       QStringLiteral("The desktop's font, as family,points."),
                       QStringLiteral("font"), QStringLiteral("DejaVu Sans,10") });
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("Files to lock and upload."));
    parser.process(arguments);
    if (!parser.isSet(QStringLiteral("server")) || !parser.isSet(QStringLiteral("data"))
        || !parser.isSet(QStringLiteral("out")) || parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }

    // The library reads its server and data folder from the user's settings.
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                           QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
        settings.setValue(QStringLiteral("server_url"), parser.value(QStringLiteral("server")));
        settings.setValue(QStringLiteral("data_path"),
                          parser.value(QStringLiteral("data")).toUtf8());
    }

    // The application sees the program name only: no start options.
    int applicationArgc = 1;
    MyQApplication application(applicationArgc, argv);
    // A bare X server has no desktop settings: take the font a desktop has.
    QFont font;
    if (font.fromString(parser.value(QStringLiteral("font"))))
        QApplication::setFont(font);
    ScreenshotTour tour(&application, parser.value(QStringLiteral("out")));
    const bool done = tour.run(parser.positionalArguments(), parser.value(QStringLiteral("user")),
                               parser.value(QStringLiteral("password")));
    return done ? 0 : 1;
}
