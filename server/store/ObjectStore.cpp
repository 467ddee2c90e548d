#include "store/ObjectStore.h"

#include "store/BlockPool.h"
#include "store/BlockStream.h"
#include "store/BlockSums.h"
#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/ObjectUpload.h"
#include "store/PendingAborts.h"
#include "store/S3Answer.h"
#include "store/TransferBudget.h"
#include "store/UploadLeases.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sodium.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

namespace QuorvaneServer {

namespace {

constexpr uint64_t MaxParts = 10000;
// The downloads share at most this many blocks, and at most half of the
// buffer budget.
constexpr size_t MaxBlocks = 16;
constexpr time_t UploadGrace = 24 * 60 * 60;

std::string randomName()
{
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

bool storeTrouble(const S3Client::Response &response)
{
    return response.status == 0 || response.status == 429 || response.status >= 500;
}

std::string describe(const S3Client::Response &response)
{
    if (response.status <= 0)
        return response.failure;
    std::string what = "status " + std::to_string(response.status);
    const std::string code = S3Answer(response.body).code();
    return code.empty() ? what : what + " (" + code + ")";
}

} // namespace

ObjectStore::ObjectStore(const DataFolder &folder, const std::string &location,
                         S3Client::Settings settings)
    : m_local(folder)
    , m_temporary(folder.temporaryPath())
    , m_location(location)
    , m_client([&] {
        if (!parseLocation(location, settings.bucket, m_prefix))
            throw std::runtime_error("not an object store: " + location);
        return settings;
    }())
    , m_aborts(std::make_shared<PendingAborts>(m_client))
    , m_leases(std::make_shared<UploadLeases>(m_client.settings().uploadLease))
    , m_budget(std::make_shared<TransferBudget>(m_client.settings().bufferBudget))
    , m_pool(std::make_shared<BlockPool>(
          m_budget, BlockSums::BlockSize,
          std::min<size_t>(MaxBlocks, m_budget->limit() / 2 / BlockSums::BlockSize)))
{
}

ObjectStore::~ObjectStore()
{
    m_leases->detach();
    m_aborts->detach();
}

bool ObjectStore::parseLocation(const std::string &location, std::string &bucket,
                                std::string &prefix)
{
    const std::string scheme = "s3://";
    if (location.compare(0, scheme.size(), scheme) != 0)
        return false;
    const std::string rest = location.substr(scheme.size());
    const size_t slash = rest.find('/');
    bucket = rest.substr(0, slash);
    prefix = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (!prefix.empty())
        prefix += '/';
    return !bucket.empty() && bucket.find_first_of("?#") == std::string::npos
        && prefix.find_first_of("?#") == std::string::npos;
}

void ObjectStore::fail(const std::string &what, const S3Client::Response &response) const
{
    throw DatabaseError(what + " in " + m_location + ": " + describe(response),
                        storeTrouble(response) ? DatabaseError::Cause::Unavailable
                                               : DatabaseError::Cause::Failed);
}

void ObjectStore::bindTo(Database &db)
{
    const std::string mark = m_prefix + "service-id";
    const auto read = [this, &mark] {
        S3Client::Request get;
        get.key = mark;
        const S3Client::Response answer = m_client.send(get);
        if (answer.status == 404)
            return std::string();
        if (!answer.ok())
            fail("cannot read the service mark", answer);
        std::string id = answer.body;
        id.erase(id.find_last_not_of(" \r\n") + 1);
        return id.empty() ? std::string("unknown") : id;
    };
    DataFolder::bindService(
        db, m_location, [&](const std::string &) { return read(); },
        [&](const std::string &id) {
            S3Client::Request put;
            put.method = "PUT";
            put.key = mark;
            put.body = id + "\n";
            const S3Client::Response answer = m_client.send(put);
            if (!answer.ok())
                fail("cannot write the service mark", answer);
            // Another service may have marked the prefix at the same moment.
            if (read() != id)
                throw std::runtime_error(m_location + " was taken by another service");
        });
    m_aborts->attach(db, m_retryInterval);
    m_leases->attach(db);
    m_db = &db;
}

std::unique_ptr<TempFile> ObjectStore::createTemporary(uint64_t size) const
{
    // The bytes go to the store as they arrive; the data folder sees none.
    return std::make_unique<TempFile>(std::make_unique<ObjectUpload>(
        m_client, m_aborts, m_leases, m_budget, key(randomName()), size));
}

std::string ObjectStore::adopt(TempFile &file) const
{
    auto *upload = dynamic_cast<ObjectUpload *>(file.sink());
    if (!upload)
        throw DatabaseError("an upload that did not go to " + m_location);
    std::string what;
    S3Client::Response failure;
    if (!upload->finish(file.size(), what, failure))
        fail(what, failure);
    return upload->key().substr(key(std::string()).size());
}

void ObjectStore::put(const std::string &name, int fd, uint64_t size) const
{
    // Each part streams from the file, so memory stays flat whatever the size.
    if (size > m_client.settings().partSize)
        return putMultipart(key(name), fd, size);
    S3Client::Request put;
    put.method = "PUT";
    put.key = key(name);
    put.bodyFd = fd;
    put.bodyLength = size;
    const S3Client::Response answer = m_client.send(put);
    if (!answer.ok())
        fail("cannot store an upload", answer);
}

void ObjectStore::putMultipart(const std::string &key, int fd, uint64_t size) const
{
    S3Client::Request start;
    start.method = "POST";
    start.key = key;
    start.query = "uploads=";
    const S3Client::Response started = m_client.send(start);
    const std::string id = S3Answer(started.body).uploadId();
    if (!started.ok() || id.empty())
        fail("cannot start a multipart upload", started);
    const std::string upload = "uploadId=" + S3Client::encode(id, false);
    // Leased as the server's own uploads are: a sweep leaves it alone while
    // this runs, and aborts it soon after this process died.
    m_leases->add(key, id);
    try {
        const uint64_t partSize
            = std::max(m_client.settings().partSize, (size + MaxParts - 1) / MaxParts);
        std::string parts = "<CompleteMultipartUpload>";
        int number = 1;
        for (uint64_t offset = 0; offset < size; offset += partSize, ++number) {
            S3Client::Request part;
            part.method = "PUT";
            part.key = key;
            part.query = "partNumber=" + std::to_string(number) + "&" + upload;
            part.bodyFd = fd;
            part.bodyOffset = offset;
            part.bodyLength = std::min(partSize, size - offset);
            const S3Client::Response sent = m_client.send(part);
            if (!sent.ok())
                fail("cannot store a part of an upload", sent);
            parts += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>"
                + sent.etag + "</ETag></Part>";
        }
        parts += "</CompleteMultipartUpload>";
        S3Client::Request complete;
        complete.method = "POST";
        complete.key = key;
        complete.query = upload;
        complete.body = parts;
        S3Client::Response done = m_client.send(complete);
        // The store may fail the completion inside a 200 answer.
        if (done.ok() && done.body.find("<Error>") != std::string::npos)
            done.status = 500;
        if (!done.ok())
            fail("cannot complete a multipart upload", done);
    } catch (...) {
        // Its parts would stay stored, and counted, until the sweep.
        m_aborts->abort(key, id);
        m_leases->remove(key, id);
        throw;
    }
    m_leases->remove(key, id);
}

int ObjectStore::open(const std::string &name) const
{
    // Unnamed: the copy goes when the last descriptor closes, whatever happens.
    const int fd = ::open(m_temporary.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    S3Client::Request get;
    get.key = key(name);
    get.sinkFd = fd;
    const S3Client::Response answer = m_client.send(get);
    if (answer.ok())
        return fd;
    ::close(fd);
    if (answer.status == 404) {
        errno = ENOENT;
        return -1;
    }
    if (answer.status < 0) {
        errno = EIO;
        return -1;
    }
    fail("cannot read a stored file", answer);
}

int ObjectStore::openStream(const std::string &name, uint64_t &size,
                            std::shared_ptr<BlockStream> &stream,
                            const std::function<bool()> &gone) const
{
    stream = openBlocks(name, std::string(), size, gone);
    return -1;
}

int ObjectStore::openPart(const std::string &name, uint64_t first, uint64_t last, uint64_t &size,
                          std::shared_ptr<BlockStream> &stream, bool &part,
                          const std::function<bool()> &gone) const
{
    part = true;
    stream = openBlocks(name, std::to_string(first) + "-" + std::to_string(last), size, gone);
    // An object shorter than the range, or a store that sent it all.
    if (stream && size != last - first + 1) {
        stream->close();
        stream.reset();
        errno = EIO;
    }
    return -1;
}

std::shared_ptr<BlockStream> ObjectStore::openBlocks(const std::string &name,
                                                     const std::string &range, uint64_t &size,
                                                     const std::function<bool()> &gone) const
{
    struct Answer
    {
        std::mutex mutex;
        std::condition_variable ready;
        bool known = false;
        bool started = false;
        uint64_t length = 0;
        S3Client::Response response;
    };
    // The store's downloads share up to 16 blocks however many run, and go in
    // smaller pieces while all are taken; each block is checked whole before
    // its last bytes are sent. A download waits for the share of its own
    // buffers (curl's and the smaller pieces') in line with the uploads, on a
    // thread all requests share: only a few may wait, the rest answer 503,
    // and one whose client went leaves the line at once.
    TransferBudget::Share share
        = m_budget->take(S3Client::ReceiveBuffer + BlockStream::OwnSize,
                         std::chrono::seconds(m_client.settings().timeoutSeconds), gone,
                         TransferBudget::Waiter::SharedThread);
    if (!share) {
        S3Client::Response busy;
        busy.failure = "no room for another transfer in the buffer budget";
        fail("the store is busy", busy);
    }
    auto stream = std::make_shared<BlockStream>(m_pool, std::move(share));
    auto answer = std::make_shared<Answer>();
    S3Client::Request get;
    get.key = key(name);
    get.range = range;
    get.sink = [stream](const char *data, size_t size) { return stream->write(data, size); };
    // A reader that went while the store stalls frees the share now, not at
    // the store's timeout.
    get.cancelled = [stream] { return stream->closed(); };
    get.answered = [answer](uint64_t length) {
        std::lock_guard<std::mutex> lock(answer->mutex);
        answer->known = answer->started = true;
        answer->length = length;
        answer->ready.notify_all();
    };
    // The transfer owns a copy of the client, so it may outlive the store.
    std::thread([client = m_client, get = std::move(get), answer, stream] {
        S3Client::Response response = client.send(get);
        uint64_t length;
        {
            std::lock_guard<std::mutex> lock(answer->mutex);
            length = answer->length;
        }
        stream->end(response.ok() && response.delivered == length);
        std::lock_guard<std::mutex> lock(answer->mutex);
        answer->response = std::move(response);
        answer->known = true;
        answer->ready.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(answer->mutex);
    answer->ready.wait(lock, [&] { return answer->known; });
    if (answer->started || answer->response.ok()) {
        size = answer->started ? answer->length : 0;
        return stream;
    }
    const S3Client::Response response = answer->response;
    lock.unlock();
    stream->close();
    if (response.status == 404) {
        errno = ENOENT;
        return nullptr;
    }
    if (response.status < 0) {
        errno = EIO;
        return nullptr;
    }
    fail("cannot read a stored file", response);
}

void ObjectStore::remove(const std::string &name) const
{
    // Left over when this fails, and found by a later sweep.
    S3Client::Request erase;
    erase.method = "DELETE";
    erase.key = key(name);
    m_client.send(erase);
}

FileStore::Sweep
ObjectStore::sweep(const std::set<std::string> &referenced,
                   const std::function<bool(const std::string &)> &isReferenced) const
{
    // Uploads no longer touch the local folder; what an older server left
    // there goes.
    Sweep sweep;
    sweep.temporary = m_local.sweep({}, [](const std::string &) { return true; }).temporary;
    const time_t now = ::time(nullptr);
    const std::string files = m_prefix + "files/";
    size_t present = 0;
    std::string token;
    std::set<std::string> tokens;
    do {
        S3Client::Request list;
        list.query = (token.empty() ? std::string()
                                    : "continuation-token=" + S3Client::encode(token, false) + "&")
            + "list-type=2&prefix=" + S3Client::encode(files, false);
        const S3Client::Response answer = m_client.send(list);
        if (!answer.ok())
            fail("cannot list the stored files", answer);
        const S3Answer page(answer.body);
        if (!page.valid())
            throw DatabaseError("the listing of the stored files in " + m_location
                                + " is not well-formed XML");
        for (const S3Answer::Object &object : page.objects()) {
            // Only what lies under our prefix, with a time to judge it by,
            // can go.
            if (object.key.size() <= files.size()
                || object.key.compare(0, files.size(), files) != 0)
                continue;
            const std::string name = object.key.substr(files.size());
            if (referenced.count(name) != 0) {
                ++present;
                continue;
            }
            if (object.lastModified == 0 || now - object.lastModified < m_grace.count()
                || name.find_first_of("&/") != std::string::npos || isReferenced(name))
                continue;
            remove(name);
            ++sweep.unreferenced;
        }
        token = page.truncated() ? page.nextToken() : std::string();
        // A store that hands out no new token would keep the sweep listing forever.
        if (page.truncated() && (token.empty() || !tokens.insert(token).second))
            throw DatabaseError("the listing of the stored files in " + m_location
                                + " does not advance");
    } while (!token.empty());
    sweep.missing = referenced.size() - present;
    m_aborts->retry();
    abortStaleUploads();
    return sweep;
}

void ObjectStore::abortStaleUploads() const
{
    // A dead server's uploads go once their lease runs out; its kept aborts
    // are tried with them.
    std::set<UploadLeases::Upload> leased;
    if (m_db) {
        leased = UploadLeases::expire(*m_db);
        m_aborts->retry();
    }
    const time_t now = ::time(nullptr);
    const std::string files = m_prefix + "files/";
    std::pair<std::string, std::string> marker;
    std::set<std::pair<std::string, std::string>> markers;
    do {
        S3Client::Request list;
        list.query
            = (marker.first.empty() ? std::string()
                                    : "key-marker=" + S3Client::encode(marker.first, false) + "&")
            + "prefix=" + S3Client::encode(files, false) + "&"
            + (marker.second.empty()
                   ? std::string()
                   : "upload-id-marker=" + S3Client::encode(marker.second, false) + "&")
            + "uploads=";
        const S3Client::Response answer = m_client.send(list);
        if (!answer.ok())
            return;
        const S3Answer uploads(answer.body);
        for (const S3Answer::Upload &upload : uploads.uploads()) {
            const std::string &key = upload.key;
            const std::string &uploadId = upload.uploadId;
            // Of no lease: an older server's, or its row was lost.
            if (key.compare(0, files.size(), files) != 0 || uploadId.empty()
                || upload.initiated == 0 || leased.count({ key, uploadId }) > 0
                || now - upload.initiated < UploadGrace)
                continue;
            S3Client::Request abort;
            abort.method = "DELETE";
            abort.key = key;
            abort.query = "uploadId=" + S3Client::encode(uploadId, false);
            m_client.send(abort);
        }
        marker = uploads.truncated()
            ? std::make_pair(uploads.nextKeyMarker(), uploads.nextUploadIdMarker())
            : std::pair<std::string, std::string>();
        // A store that hands out no new marker would keep the sweep listing
        // forever; like a refused listing, it leaves the rest to a later sweep.
        if (uploads.truncated() && !marker.first.empty() && !markers.insert(marker).second)
            return;
    } while (!marker.first.empty());
}

std::string ObjectStore::problem() const
{
    std::string problem = m_local.problem();
    if (!problem.empty())
        return problem;
    // The mark, not the bucket: keys may have rights on their prefix only.
    S3Client::Request head;
    head.method = "HEAD";
    head.key = m_prefix + "service-id";
    const S3Client::Response answer = m_client.send(head);
    return answer.ok() ? std::string() : m_location + " does not answer: " + describe(answer);
}

} // namespace QuorvaneServer
