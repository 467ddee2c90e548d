#pragma once

#include "EventRecord.h"
#include "FetchNote.h"
#include "SnapshotManifest.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Session;

// The snapshots and snapshot contents among the server's events, and local
// copies of their files. Everything is made of ordinary events: a snapshot is
// a file event whose content field names the manifest format and its roots,
// a content event one whose content field holds its file's SHA-256.
class SnapshotCatalog
{
public:
    SnapshotCatalog(Session &session, std::ostream &err);
    // Removes the local copies fetch made.
    ~SnapshotCatalog();

    // Reads the server's events; a library code. The events a run that was
    // killed had fetched for itself are this one's to drop.
    int read();
    const std::vector<EventRecord> &events() const { return m_events; }
    const EventRecord *find(const std::string &id) const;
    // Newest first.
    std::vector<const EventRecord *> snapshots() const;
    // "latest" or empty: the newest; otherwise an id or its first characters.
    const EventRecord *snapshot(const std::string &given) const;

    static bool isSnapshot(const EventRecord &record);
    // The same host and roots give the same key: a backup's previous snapshot.
    static std::string rootsKey(const std::string &host, const std::vector<std::string> &roots);
    static std::string snapshotContent(const std::string &rootsKey,
                                       unsigned long long createdNanoseconds);
    static std::string rootsKeyOf(const EventRecord &snapshot);
    static std::string contentOf(const std::string &sha256);
    // The SHA-256 a content event was sent with, or empty.
    static std::string sha256Of(const EventRecord &record);
    // Of what is left to read, at most limit bytes (-1: all); empty once stop is set.
    static std::string sha256OfFile(int fd, std::string *error, std::int64_t *size = nullptr,
                                    std::int64_t limit = -1,
                                    const std::atomic<bool> *stop = nullptr);

    // Local paths of the events' files, fetched from the server when there
    // is no local copy yet; a library code, with what failed told on err.
    int fetch(const std::vector<std::string> &ids, std::map<std::string, std::string> *files);
    // The events fetch brought from the server, and those taken over from a
    // killed run: their local copies go again.
    const std::vector<std::string> &pulled() const { return m_pulled; }
    // A snapshot's manifest; false with error set.
    bool manifest(const EventRecord &snapshot, SnapshotManifest *manifest,
                  std::vector<SnapshotManifest::Refusal> *refused, std::string *error);

private:
    std::string localFile(const EventRecord &record) const;

    Session &m_session;
    std::ostream &m_err;
    std::vector<EventRecord> m_events;
    // Every manifest entry is looked up: a backup of many files against a
    // server of many events must not search the list for each.
    std::unordered_map<std::string, std::size_t> m_byId;
    std::vector<std::string> m_pulled;
    FetchNote m_note;
    std::unordered_set<std::string> m_adopted;
    bool m_fresh = false;
};
