#include "ClusterFolder.h"

#include <QFileInfo>

std::unique_ptr<QTemporaryDir> newClusterFolder(const QString &prefix)
{
    const QFileInfo memory("/dev/shm");
    const QString base = memory.isDir() && memory.isWritable() ? memory.filePath() : "/tmp";
    auto folder = std::make_unique<QTemporaryDir>(base + "/" + prefix + "-XXXXXX");
    if (!folder->isValid() && base != "/tmp")
        folder = std::make_unique<QTemporaryDir>("/tmp/" + prefix + "-XXXXXX");
    return folder;
}
