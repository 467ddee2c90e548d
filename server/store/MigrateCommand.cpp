#include "store/MigrateCommand.h"

#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/FolderStore.h"
#include "store/ObjectStore.h"
#include "store/Schema.h"
#include "store/Transaction.h"

#include <cstdio>
#include <exception>
#include <memory>

namespace QuorvaneServer {

MigrateCommand::MigrateCommand(const CommandLine &line)
    : m_line(line)
{
}

int MigrateCommand::run()
{
    try {
        DataFolder folder(m_line.dataFolder);
        const std::string location = m_line.databaseLocation();
        const std::string named = Database::describe(location);
        const auto db = Database::open(location);
        // Files stored before hashes were kept are read where the service
        // keeps them now.
        std::unique_ptr<FileStore> files;
        if (m_line.storage.empty())
            files = std::make_unique<FolderStore>(folder);
        else
            files = std::make_unique<ObjectStore>(folder, m_line.storage, m_line.s3Settings());
        const Schema::Migration done = Transaction::retried([&] {
            return Schema::migrate(
                *db, location, [&files](const std::string &name) { return files->digest(name); });
        });
        if (done.from == done.to)
            std::printf("%s has schema version %d already.\n", named.c_str(), done.to);
        else if (done.from == 0)
            std::printf("Laid out %s with schema version %d.\n", named.c_str(), done.to);
        else
            std::printf("Migrated %s from schema version %d to %d.\n", named.c_str(), done.from,
                        done.to);
        if (done.from != done.to)
            db->refreshStatistics();
        if (done.hashed > 0)
            std::printf("Hashed %zu stored files.\n", done.hashed);
        if (done.missingFiles > 0)
            std::fprintf(stderr,
                         "quorvane-server: warning: %zu events have lost their stored file; "
                         "they are kept without a hash\n",
                         done.missingFiles);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quorvane-server: %s\n", error.what());
        return 1;
    }
}

} // namespace QuorvaneServer
