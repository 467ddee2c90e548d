#pragma once

#include <QString>
#include <QTemporaryDir>
#include <memory>

// A new folder for a test's database or storage cluster, named
// "<prefix>-XXXXXX", in memory where the system offers a tmpfs: the clusters
// write and sync their own files much, which on a disk busy with builds
// waited for seconds, and what they keep need not outlive the test. Short,
// as a socket's path must be, and reachable by any user.
std::unique_ptr<QTemporaryDir> newClusterFolder(const QString &prefix);
