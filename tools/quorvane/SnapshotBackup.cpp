#include "SnapshotBackup.h"

#include "CommandLine.h"
#include "EventCommands.h"
#include "Progress.h"
#include "RecordFormat.h"
#include "ScratchFolder.h"
#include "ServerProbe.h"
#include "Session.h"
#include "Sha256Digest.h"
#include "SharedSettings.h"
#include "SnapshotCatalog.h"

#include <QByteArray>
#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int KindServerFile = 4;
// Files up to this size go into packs of about PackSize bytes.
constexpr std::int64_t PackedFile = 256 * 1024;
constexpr std::size_t PackSize = 16 * 1024 * 1024;

std::string hostName()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// "~/Documents" for the user's own folders, as people name them.
std::string shortened(const std::string &path)
{
    const char *home = std::getenv("HOME");
    const std::string prefix = home && *home ? std::string(home) + "/" : std::string();
    const std::string shorter = !prefix.empty() && path.compare(0, prefix.size(), prefix) == 0
        ? "~/" + path.substr(prefix.size())
        : path;
    // The snapshot's title only shows its roots; the manifest keeps them whole.
    return RecordFormat::isStorable(shorter) ? shorter : RecordFormat::escaped(shorter);
}

// The roots as a snapshot's title shows them: the title travels in the
// upload's address, which a server keeps short.
std::string rootsTitle(const std::vector<std::string> &roots)
{
    constexpr std::size_t Longest = 1000;
    std::string joined;
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const std::string root = shortened(roots[i]);
        if (i > 0 && joined.size() + root.size() > Longest)
            return joined + " and " + std::to_string(roots.size() - i) + " more";
        joined += (joined.empty() ? "" : ", ") + root;
    }
    return joined;
}

bool readAsField(const std::string &fileName)
{
    static const char *const Fields[]
        = { "id", "name", "path", "type", "content", "description", "recordTime", "recordChanged" };
    if (fileName.size() < 4 || fileName.compare(fileName.size() - 4, 4, ".txt") != 0)
        return false;
    const std::string base = fileName.substr(0, fileName.find('.'));
    return std::find(std::begin(Fields), std::end(Fields), base) != std::end(Fields);
}

bool sameTime(const struct stat &info, const SnapshotManifest::Entry &entry)
{
    return info.st_mtim.tv_sec == entry.mtimeSeconds
        && info.st_mtim.tv_nsec == entry.mtimeNanoseconds;
}

} // namespace

SnapshotBackup::SnapshotBackup(const CommandLine &line, Session &session, Progress &progress,
                               std::ostream &out, std::ostream &err)
    : m_line(line)
    , m_session(session)
    , m_progress(progress)
    , m_out(out)
    , m_err(err)
{
}

SnapshotBackup::~SnapshotBackup()
{
    // A backup that stopped does not wait for a whole file to be hashed.
    m_stopAhead = true;
    if (m_ahead.valid())
        m_ahead.wait();
}

void SnapshotBackup::refuse(const std::string &path, const std::string &reason)
{
    m_progress.clear();
    m_err << "quorvane: " << RecordFormat::escaped(path) << ": " << reason << '\n';
    ++m_failed;
}

void SnapshotBackup::walk(const std::string &source, const std::string &path)
{
    struct stat info;
    if (::lstat(source.c_str(), &info) != 0) {
        refuse(source,
               errno == ENOENT ? std::string("no such file or folder") : std::strerror(errno));
        return;
    }
    Pending found;
    found.source = source;
    SnapshotManifest::Entry &entry = found.entry;
    entry.path = path;
    entry.mode = info.st_mode & 07777;
    entry.size = S_ISREG(info.st_mode) || S_ISLNK(info.st_mode) ? info.st_size : 0;
    entry.mtimeSeconds = info.st_mtim.tv_sec;
    entry.mtimeNanoseconds = info.st_mtim.tv_nsec;
    entry.inode = info.st_ino;
    const std::string problem = SnapshotManifest::pathProblem(path);
    if (!problem.empty()) {
        refuse(source, "cannot be recorded: " + problem);
        return;
    }
    if (S_ISREG(info.st_mode)) {
        entry.type = SnapshotManifest::Type::File;
        m_found.push_back(std::move(found));
    } else if (S_ISLNK(info.st_mode)) {
        std::string target(std::size_t(info.st_size) + 1, '\0');
        const ssize_t length = ::readlink(source.c_str(), &target[0], target.size());
        if (length <= 0 || std::size_t(length) >= target.size()) {
            refuse(source, "its link target cannot be read");
            return;
        }
        target.resize(std::size_t(length));
        entry.type = SnapshotManifest::Type::Link;
        entry.target = target;
        m_found.push_back(std::move(found));
    } else if (S_ISDIR(info.st_mode)) {
        entry.type = SnapshotManifest::Type::Folder;
        DIR *listing = ::opendir(source.c_str());
        if (!listing) {
            refuse(source, std::strerror(errno));
            return;
        }
        m_found.push_back(std::move(found));
        std::vector<std::string> names;
        errno = 0;
        while (const dirent *item = ::readdir(listing)) {
            const std::string name = item->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
            errno = 0;
        }
        if (errno != 0)
            refuse(source, std::strerror(errno));
        ::closedir(listing);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names)
            walk(source == "/" ? "/" + name : source + "/" + name, path + "/" + name);
    } else {
        refuse(source, "not a regular file, folder or link (a pipe, socket or device)");
    }
}

int SnapshotBackup::send(const std::string &source, const std::string &sha256, std::string *id)
{
    const std::string fileName = source.substr(source.rfind('/') + 1);
    // A name the server cannot keep travels escaped; the manifest keeps it whole.
    const bool storable = RecordFormat::isStorable(fileName);
    const std::string name
        = "File [" + (storable ? fileName : RecordFormat::escaped(fileName)) + "]";
    const std::string content = SnapshotCatalog::contentOf(sha256);
    // A local copy called like one of its event's fields ("name.txt") would
    // be read back as that field: such a file travels under another name.
    std::string path = source;
    std::string folder;
    if (readAsField(fileName) || !storable) {
        folder = ScratchFolder::make();
        if (folder.empty())
            return Quorvane::Failure;
        path = folder + "/" + (storable ? fileName + ".bin" : RecordFormat::escaped(fileName));
        if (::symlink(source.c_str(), path.c_str()) != 0) {
            ::rmdir(folder.c_str());
            return Quorvane::Failure;
        }
    }
    Quorvane::EventNative event;
    event.name = name.c_str();
    event.path = path.c_str();
    event.content = content.c_str();
    event.description = "Backed up by quorvane";
    event.kind = KindServerFile;
    event.access = m_access;
    const int code = m_session.add(event, true);
    for (const EventRecord &record : m_session.events())
        if (record.path == path && record.content == content)
            *id = record.id;
    if (!folder.empty()) {
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
    return code == 0 && id->empty() ? int(Quorvane::Failure) : code;
}

const SnapshotManifest::Entry *SnapshotBackup::unchanged(const SnapshotManifest::Entry &entry,
                                                         const SnapshotCatalog &catalog) const
{
    const auto previous = m_previous.find(entry.path);
    if (previous == m_previous.end())
        return nullptr;
    const SnapshotManifest::Entry &before = *previous->second;
    const EventRecord *held = catalog.find(before.event);
    return before.type == entry.type && before.size == entry.size && before.inode == entry.inode
            && before.mtimeSeconds == entry.mtimeSeconds
            && before.mtimeNanoseconds == entry.mtimeNanoseconds && held
            && (before.offset >= 0 ? !SnapshotCatalog::sha256Of(*held).empty()
                                   : SnapshotCatalog::sha256Of(*held) == before.sha256)
        ? &before
        : nullptr;
}

SnapshotBackup::Hashed SnapshotBackup::hash(const std::string &source,
                                            const std::atomic<bool> *stop)
{
    Hashed hashed;
    const int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        hashed.problem = std::strerror(errno);
        return hashed;
    }
    // A pipe put in the file's place since the walk would read as empty.
    if (::fstat(fd, &hashed.before) != 0 || !S_ISREG(hashed.before.st_mode)) {
        hashed.problem = "no longer a regular file";
        ::close(fd);
        return hashed;
    }
    std::string error;
    if (hashed.before.st_size <= PackedFile) {
        // Kept to be packed: what is hashed is what is sent.
        char buffer[65536];
        ssize_t got = 0;
        while (std::int64_t(hashed.bytes.size()) <= PackedFile
               && ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)))
            if (got > 0)
                hashed.bytes.append(buffer, std::size_t(got));
        hashed.read = std::int64_t(hashed.bytes.size());
        if (got < 0)
            error = std::strerror(errno);
        else
            hashed.sha256 = Sha256Digest::of(hashed.bytes.data(), hashed.bytes.size());
    } else {
        hashed.sha256 = SnapshotCatalog::sha256OfFile(fd, &error, &hashed.read, -1, stop);
    }
    ::close(fd);
    if (hashed.sha256.empty())
        hashed.problem = error;
    else if (hashed.read != hashed.before.st_size)
        // A system file that tells no size, or one written to right now.
        hashed.problem = "its size is given as " + std::to_string(hashed.before.st_size)
            + " bytes but " + std::to_string(hashed.read) + " were read; not sent";
    return hashed;
}

void SnapshotBackup::hashAhead(std::size_t index, const SnapshotCatalog &catalog)
{
    if (m_ahead.valid())
        return;
    for (std::size_t next = index + 1; next < m_found.size(); ++next) {
        const SnapshotManifest::Entry &entry = m_found[next].entry;
        if (entry.type != SnapshotManifest::Type::File || entry.size <= PackedFile
            || unchanged(entry, catalog))
            continue;
        m_aheadIndex = next;
        m_ahead = std::async(std::launch::async, &SnapshotBackup::hash, m_found[next].source,
                             &m_stopAhead);
        return;
    }
}

bool SnapshotBackup::store(Pending *file, SnapshotCatalog &catalog)
{
    SnapshotManifest::Entry &entry = file->entry;
    if (const SnapshotManifest::Entry *before = unchanged(entry, catalog)) {
        entry.sha256 = before->sha256;
        entry.event = before->event;
        entry.offset = before->offset;
        ++m_unchanged;
        return true;
    }
    const std::size_t index = std::size_t(file - m_found.data());
    Hashed hashed;
    if (m_ahead.valid() && index == m_aheadIndex)
        hashed = m_ahead.get();
    else
        hashed = hash(file->source, nullptr);
    if (!hashed.problem.empty()) {
        refuse(file->source, hashed.problem);
        return true;
    }
    const struct stat &before = hashed.before;
    const std::string &bytes = hashed.bytes;
    std::string error;
    entry.sha256 = hashed.sha256;
    entry.size = before.st_size;
    entry.mtimeSeconds = before.st_mtim.tv_sec;
    entry.mtimeNanoseconds = before.st_mtim.tv_nsec;
    entry.inode = before.st_ino;
    const auto stored = m_stored.find(entry.sha256);
    if (stored != m_stored.end()) {
        entry.event = stored->second.event;
        entry.offset = stored->second.offset;
        file->pack = stored->second.pack;
        ++m_unchanged;
        return true;
    }
    if (entry.size <= PackedFile) {
        if (!m_filling)
            m_filling = std::make_unique<PackFile>();
        entry.offset = m_filling->append(bytes.data(), bytes.size(), &error);
        if (entry.offset < 0) {
            m_progress.clear();
            m_err << "quorvane: cannot write a pack: " << error << '\n';
            m_stopCode = Quorvane::Failure;
            return false;
        }
        file->pack = m_packNumber;
        m_stored[entry.sha256] = { std::string(), entry.offset, m_packNumber };
        return m_filling->size() < std::int64_t(PackSize) || flushPack();
    }

    // The library runs one operation of ours at a time.
    if (!collectPack())
        return false;
    // The next large file is read and hashed while this one travels.
    hashAhead(index, catalog);
    const int code = send(file->source, entry.sha256, &entry.event);
    struct stat after;
    const bool changed = ::lstat(file->source.c_str(), &after) != 0
        || after.st_size != before.st_size || !sameTime(after, entry);
    if (code == 0 && changed) {
        // Its bytes on the server may be neither the old nor the new ones.
        m_session.read(ReadQuery::everything(true));
        m_session.run(&Quorvane::IQuorvane::deleteServerEvents, { entry.event });
        refuse(file->source, "changed while it was sent; not in the snapshot");
        entry.event.clear();
        return true;
    }
    if (code == 0) {
        m_stored[entry.sha256] = { entry.event, -1, -1 };
        ++m_sent;
        m_sentBytes += entry.size;
        m_progress.clear();
        // Each line reaches a pipe or a log as its file is sent.
        m_out << RecordFormat::escaped(entry.event) << '\t' << RecordFormat::escaped(file->source)
              << '\n'
              << std::flush;
        return true;
    }
    entry.event.clear();
    if (stops(code, RecordFormat::escaped(file->source)))
        return false;
    refuse(file->source,
           "cannot be sent: the server answered with an error, or it could not be read");
    return true;
}

bool SnapshotBackup::stops(int code, const std::string &what)
{
    const int exit = Session::exitCode(code);
    if (exit != Quorvane::Failure) {
        m_stopCode = m_session.fail("cannot send " + what, code, true);
        return true;
    }
    const std::string reason = ServerProbe::unreachable(SharedSettings::serverUrl());
    if (reason.empty())
        return false;
    m_progress.clear();
    m_err << "quorvane: cannot send " << what << ": " << reason << '\n';
    m_stopCode = Quorvane::Failure;
    return true;
}

bool SnapshotBackup::flushPack()
{
    if (!m_filling || m_filling->files() == 0)
        return true;
    std::string error;
    const bool closed = m_filling->close(&error);
    // One pack is sent while the next one fills: the previous must be done.
    if (!collectPack())
        return false;
    m_sending = std::move(m_filling);
    m_sendingNumber = m_packNumber++;
    m_sendingContent = SnapshotCatalog::contentOf(m_sending->sha256());
    if (!closed) {
        m_progress.clear();
        m_err << "quorvane: cannot write a pack: " << error << '\n';
        m_stopCode = Quorvane::Failure;
        settlePack(std::string(), Quorvane::Failure);
        return false;
    }
    const std::string name = "Pack [" + std::to_string(m_sending->files()) + " files]";
    Quorvane::EventNative event;
    event.name = name.c_str();
    event.path = m_sending->path().c_str();
    event.content = m_sendingContent.c_str();
    event.description = "Small files backed up by quorvane";
    event.kind = KindServerFile;
    event.access = m_access;
    m_session.user().expectListOfFirstPipe(true);
    m_sendingResult = m_session.library()->addEvent(event, &m_session.user());
    return true;
}

bool SnapshotBackup::collectPack()
{
    if (!m_sending)
        return true;
    int code = m_session.await(m_sendingResult);
    std::string id;
    for (const EventRecord &record : m_session.events())
        if (record.path == m_sending->path() && record.content == m_sendingContent)
            id = record.id;
    if (code == 0 && id.empty())
        code = Quorvane::Failure;
    return settlePack(id, code);
}

bool SnapshotBackup::settlePack(const std::string &id, int code)
{
    const int files = m_sending->files();
    bool goOn = m_stopCode == 0;
    if (code == 0) {
        m_sent += files;
        m_sentBytes += m_sending->size();
        m_progress.clear();
    } else if (goOn) {
        goOn = !stops(code, "a pack of " + std::to_string(files) + " files");
    }
    for (Pending &found : m_found) {
        if (found.pack != m_sendingNumber)
            continue;
        found.pack = -1;
        found.entry.event = code == 0 ? id : std::string();
        if (code == 0 && found.entry.offset >= 0
            && m_stored[found.entry.sha256].pack == m_sendingNumber
            && m_stored[found.entry.sha256].offset == found.entry.offset)
            m_out << RecordFormat::escaped(id) << '\t' << RecordFormat::escaped(found.source)
                  << '\n'
                  << std::flush;
        else if (code != 0 && goOn)
            refuse(found.source, "cannot be sent: the server answered with an error");
    }
    for (auto stored = m_stored.begin(); stored != m_stored.end();) {
        if (stored->second.pack == m_sendingNumber) {
            stored->second.pack = -1;
            stored->second.event = code == 0 ? id : std::string();
        }
        // A pack that was not sent holds nothing a later file may name.
        stored = stored->second.event.empty() && stored->second.pack < 0 ? m_stored.erase(stored)
                                                                         : std::next(stored);
    }
    m_sending.reset();
    return goOn;
}

std::string SnapshotBackup::upload(const std::string &fileName, const std::string &bytes,
                                   const std::string &name, const std::string &content,
                                   const char *description, int *code)
{
    const std::string folder = ScratchFolder::make();
    if (folder.empty()) {
        *code = Quorvane::Failure;
        m_err << "quorvane: cannot write " << fileName << ": " << std::strerror(errno) << '\n';
        return std::string();
    }
    const std::string file = folder + "/" + fileName;
    FILE *stream = std::fopen(file.c_str(), "wbx");
    bool written = stream && std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
    written = stream && std::fclose(stream) == 0 && written;
    std::string id;
    if (!written) {
        *code = Quorvane::Failure;
        m_err << "quorvane: cannot write " << fileName << '\n';
    } else {
        Quorvane::EventNative event;
        event.name = name.c_str();
        event.path = file.c_str();
        event.content = content.c_str();
        event.description = description;
        event.kind = KindServerFile;
        event.access = m_access;
        *code = m_session.add(event, true);
        for (const EventRecord &record : m_session.events())
            if (record.path == file && record.content == content)
                id = record.id;
        if (*code == 0 && id.empty())
            *code = Quorvane::Failure;
        // The library lists an event it added even when the server refused it.
        if (*code != 0)
            id.clear();
    }
    ::unlink(file.c_str());
    ::rmdir(folder.c_str());
    return id;
}

int SnapshotBackup::run()
{
    if (m_line.has("access")) {
        m_access = EventCommands::accessOf(m_line.value("access"));
        if (m_access < 0) {
            m_err << "quorvane backup: --access takes everyone, friends or me\n";
            return 1;
        }
    }
    const auto started = std::chrono::steady_clock::now();
    m_began
        = static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    SnapshotManifest manifest;
    manifest.host = hostName();
    manifest.created = QDateTime::currentSecsSinceEpoch();
    std::set<std::string> names;
    for (const std::string &argument : m_line.arguments()) {
        std::error_code error;
        std::string root = fs::absolute(argument, error).lexically_normal().string();
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        const std::string name = SnapshotManifest::rootName(root);
        if (error || name.empty()) {
            m_err << "quorvane backup: " << RecordFormat::escaped(argument)
                  << " cannot be a snapshot's root\n";
            return 1;
        }
        if (std::find(manifest.roots.begin(), manifest.roots.end(), root) != manifest.roots.end())
            continue;
        if (!names.insert(name).second) {
            m_err << "quorvane backup: two paths named " << RecordFormat::escaped(name)
                  << ": a snapshot tells its roots apart by their names\n";
            return 1;
        }
        manifest.roots.push_back(root);
    }
    const std::string rootsKey = SnapshotCatalog::rootsKey(manifest.host, manifest.roots);

    SnapshotCatalog catalog(m_session, m_err);
    int code = catalog.read();
    if (code != 0)
        return m_session.fail("cannot read the server's events", code, true);
    for (const EventRecord &record : catalog.events()) {
        const std::string sha256 = SnapshotCatalog::sha256Of(record);
        if (!sha256.empty())
            m_stored.emplace(sha256, Stored { record.id, -1, -1 });
    }
    SnapshotManifest previous;
    for (const EventRecord *snapshot : catalog.snapshots()) {
        if (SnapshotCatalog::rootsKeyOf(*snapshot) != rootsKey)
            continue;
        std::vector<SnapshotManifest::Refusal> refused;
        std::string error;
        // Without it every file is hashed, and the server's copies still serve.
        if (catalog.manifest(*snapshot, &previous, &refused, &error))
            for (const SnapshotManifest::Entry &entry : previous.entries) {
                const EventRecord *held = catalog.find(entry.event);
                if (entry.type != SnapshotManifest::Type::File || !held
                    || SnapshotCatalog::sha256Of(*held).empty())
                    continue;
                m_previous[entry.path] = &entry;
                // Packed bytes are found only through the manifests that name them.
                m_stored.emplace(entry.sha256, Stored { entry.event, entry.offset, -1 });
            }
        break;
    }

    for (const std::string &root : manifest.roots)
        walk(root, SnapshotManifest::rootName(root));
    std::int64_t total = 0;
    for (const Pending &found : m_found)
        total += found.entry.type == SnapshotManifest::Type::File ? found.entry.size : 0;

    KnownIds known;
    m_session.user().keepOnlyNew(&known);
    std::int64_t done = 0;
    for (std::size_t i = 0; i < m_found.size() && m_stopCode == 0; ++i) {
        Pending &found = m_found[i];
        if (found.entry.type != SnapshotManifest::Type::File)
            continue;
        m_progress.setOverall(done, found.entry.size, total);
        m_progress.setPrefix(std::to_string(i + 1) + "/" + std::to_string(m_found.size()));
        m_progress.status(RecordFormat::printable(found.source));
        done += found.entry.size;
        store(&found, catalog);
        if (m_stopCode == 0 && m_session.interrupted())
            m_stopCode = m_session.fail("backup", Quorvane::Cancelled, true);
    }
    if (m_stopCode == 0)
        flushPack();
    // Also after a stop: the library is still at the last pack.
    collectPack();
    std::string snapshotId;
    const std::string name = "Snapshot [" + manifest.host + ": " + rootsTitle(manifest.roots) + "] "
        + QDateTime::fromSecsSinceEpoch(manifest.created)
              .toString(QStringLiteral("yyyy-MM-dd HH:mm"))
              .toStdString();
    if (m_stopCode == 0) {
        // A file that could not be stored is left out, with its folder intact.
        for (const Pending &found : m_found)
            if (found.entry.type != SnapshotManifest::Type::File || !found.entry.event.empty())
                manifest.entries.push_back(found.entry);
        m_progress.status("uploading the snapshot's manifest");
        code = 0;
        snapshotId
            = upload("snapshot-"
                         + QDateTime::fromSecsSinceEpoch(manifest.created)
                               .toString(QStringLiteral("yyyyMMdd-HHmmss"))
                               .toStdString()
                         + ".qvs",
                     manifest.write(), name, SnapshotCatalog::snapshotContent(rootsKey, m_began),
                     "Snapshot by quorvane", &code);
        if (code != 0)
            m_stopCode = m_session.fail("cannot send the snapshot's manifest", code, true);
    }
    m_session.user().keepOnlyNew(nullptr);
    m_progress.clear();

    if (!snapshotId.empty())
        m_out << "snapshot " << RecordFormat::escaped(snapshotId) << ' '
              << RecordFormat::escaped(name) << '\n';
    else
        m_err << "quorvane: no snapshot was recorded; the files sent are used by the next backup\n";
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char summary[240];
    std::snprintf(summary, sizeof summary,
                  "sent %d, unchanged %d, failed %d, %lld bytes (%s) in %.1f s\n", m_sent,
                  m_unchanged, m_failed, static_cast<long long>(m_sentBytes),
                  Progress::bytes(m_sentBytes).c_str(), seconds);
    m_out << summary;
    if (m_stopCode != 0)
        return m_stopCode;
    return m_failed == 0 ? 0 : int(Quorvane::Failure);
}
