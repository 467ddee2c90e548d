#include "OwnerOnly.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

bool OwnerOnly::makeFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    for (QString at = clean; !QFileInfo::exists(at) && !QFileInfo(at).isSymLink();) {
        missing.prepend(at);
        const QString up = QFileInfo(at).path();
        if (up == at)
            break;
        at = up;
    }
    for (const QString &folder : std::as_const(missing)) {
        const QByteArray name = QFile::encodeName(folder);
        // A umask that takes the owner's bits too would leave a folder we
        // cannot write in: chmod makes it exactly 0700.
        if (::mkdir(name.constData(), S_IRWXU) != 0) {
            if (errno != EEXIST)
                return false;
        } else if (::chmod(name.constData(), S_IRWXU) != 0) {
            return false;
        }
    }
    return QFileInfo(clean).isDir();
}

void OwnerOnly::prepareFile(const QString &fileName)
{
    const QByteArray name = QFile::encodeName(fileName);
    if (::chmod(name.constData(), S_IRUSR | S_IWUSR) == 0 || errno != ENOENT)
        return;
    makeFolder(QFileInfo(fileName).absolutePath());
    const int fd
        = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

namespace {

// A group made for its owner alone (a user private group, as umask 002 setups
// have): its name is the owner's, it is the owner's primary group, and it
// lists no one else. Writing for that group is writing for the owner.
bool isPrivateGroup(uid_t owner, gid_t group)
{
    std::vector<char> buffer(16384);
    struct passwd user;
    struct passwd *found = nullptr;
    if (::getpwuid_r(owner, &user, buffer.data(), buffer.size() / 2, &found) != 0 || !found
        || user.pw_gid != group)
        return false;
    struct group entry;
    struct group *groupFound = nullptr;
    char *groupBuffer = buffer.data() + buffer.size() / 2;
    if (::getgrgid_r(group, &entry, groupBuffer, buffer.size() / 2, &groupFound) != 0 || !groupFound
        || std::strcmp(entry.gr_name, user.pw_name) != 0)
        return false;
    for (char **member = entry.gr_mem; *member; ++member) {
        if (std::strcmp(*member, user.pw_name) != 0)
            return false;
    }
    return true;
}

} // namespace

QString OwnerOnly::foreignFolder(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    const QString shown = QDir::toNativeSeparators(path);
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return QStringLiteral("The folder %1 belongs to another user (uid %2), who could change "
                              "what is kept there: use a folder of your own, or make it yours "
                              "(chown).")
            .arg(shown)
            .arg(info.st_uid);
    if ((info.st_mode & S_IWOTH)
        || ((info.st_mode & S_IWGRP) && !isPrivateGroup(info.st_uid, info.st_gid)))
        return QStringLiteral("The folder %1 can be written by other users, who could change "
                              "what is kept there: make it yours alone (chmod go-w).")
            .arg(shown);
    return QString();
}

} // namespace Platform
