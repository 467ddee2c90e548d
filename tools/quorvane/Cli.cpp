#include "Cli.h"

#include "BackupCommand.h"
#include "CommandLine.h"
#include "ConfigCommand.h"
#include "EventCommands.h"
#include "KeyCommands.h"
#include "LibraryBinding.h"
#include "Passphrase.h"
#include "Progress.h"
#include "ScratchFolder.h"
#include "Session.h"
#include "SnapshotBackup.h"
#include "SnapshotCommands.h"
#include "Terminal.h"

#include <unistd.h>

int Cli::run(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err,
             bool showProgress)
{
    CommandLine line;
    if (!line.parse(arguments)) {
        err << "quorvane: " << line.error() << "\nTry quorvane --help\n";
        return 1;
    }
    if (line.help()) {
        out << (line.command() ? CommandLine::commandHelp(*line.command())
                               : CommandLine::programHelp());
        return 0;
    }
    std::string failure;
    Quorvane::IQuorvane *library = LibraryBinding::interface(&failure);
    if (line.version()) {
        out << "quorvane " << Version << '\n';
        if (library)
            out << "library " << library->getVersion() << '\n';
        return 0;
    }
    if (!library) {
        err << "quorvane: " << failure << '\n';
        return Quorvane::Failure;
    }
    const std::string command = line.command()->name;
    if (command == "config")
        return ConfigCommand(line, library, out, err).run();

    Progress progress(showProgress && !line.quiet() && Terminal::isTerminal(STDERR_FILENO));
    Session session(library, progress, err);
    if (command == "key")
        return KeyCommands(line, session, out, err).run();
    // Uploads must not go out plain once a key exists, nor may encrypted
    // events be read as they are stored.
    if (!Passphrase::unlock(library, err))
        return Quorvane::Failure;
    if (command == "backup") {
        session.provideDataFolder();
        // What backups killed before this one left to send from.
        ScratchFolder::removeAbandoned();
        if (!line.has("no-snapshot"))
            return SnapshotBackup(line, session, progress, out, err).run();
        return BackupCommand(line, session, progress, out, err).run();
    }
    if (SnapshotCommands::handles(command))
        return SnapshotCommands(line, session, out, err).run();
    return EventCommands(line, session, out, err).run();
}
