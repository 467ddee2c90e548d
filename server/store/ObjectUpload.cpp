#include "store/ObjectUpload.h"

#include "store/Database.h"
#include "store/PendingAborts.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace QuorvaneServer {

namespace {

std::string element(const std::string &text, const std::string &tag)
{
    const std::string open = "<" + tag + ">";
    const size_t at = text.find(open);
    if (at == std::string::npos)
        return std::string();
    const size_t end = text.find("</" + tag + ">", at);
    return end == std::string::npos ? std::string()
                                    : text.substr(at + open.size(), end - at - open.size());
}

struct Part
{
    int number = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
};

} // namespace

struct ObjectUpload::State
{
    S3Client client;
    std::shared_ptr<PendingAborts> aborts;
    std::string key;
    int fd = -1;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Part> queue;
    bool running = false;
    bool last = false; // every part is queued
    bool dropped = false;
    bool finished = false; // the thread is done, well or not
    S3Client::Response failure;
    std::string failed; // what failed, empty while all is well
    uint64_t queuedTo = 0;
    int nextNumber = 1;
    std::string uploadId;
    std::map<int, std::string> etags; // of the parts in the store, by number

    State(const S3Client &client, std::shared_ptr<PendingAborts> aborts, std::string key, int fd)
        : client(client)
        , aborts(std::move(aborts))
        , key(std::move(key))
        , fd(fd)
    {
    }
    ~State()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

ObjectUpload::ObjectUpload(const S3Client &client, std::shared_ptr<PendingAborts> aborts,
                           std::string key, int fd)
    : m_state(std::make_shared<State>(client, std::move(aborts), std::move(key), fd))
{
}

ObjectUpload::~ObjectUpload()
{
    // The thread aborts what it started and goes; nothing waits for it.
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->dropped = true;
    m_state->changed.notify_all();
}

const std::string &ObjectUpload::key() const
{
    return m_state->key;
}

uint64_t ObjectUpload::partSize(uint64_t base, int number)
{
    // Doubling every thousand parts: 10000 parts of a 5 MiB base hold 5 TiB.
    return base << std::min((number - 1) / 1000, 10);
}

void ObjectUpload::written(uint64_t size)
{
    queueParts(size, false);
}

void ObjectUpload::queueParts(uint64_t size, bool last)
{
    State &state = *m_state;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.last)
        return;
    const uint64_t base = state.client.settings().partSize;
    bool queued = false;
    for (;;) {
        const uint64_t length = partSize(base, state.nextNumber);
        const uint64_t left = size - state.queuedTo;
        // A file that never filled a part goes up whole, by the caller.
        if (left < length && !(last && left > 0 && state.running))
            break;
        Part part;
        part.number = state.nextNumber++;
        part.offset = state.queuedTo;
        part.length = std::min(length, left);
        state.queue.push_back(part);
        state.queuedTo += part.length;
        queued = true;
    }
    if (last)
        state.last = true;
    if (queued && !state.running) {
        state.running = true;
        std::thread(run, m_state).detach();
    }
    state.changed.notify_all();
}

void ObjectUpload::run(std::shared_ptr<State> shared)
{
    State &state = *shared;
    S3Client::Request start;
    start.method = "POST";
    start.key = state.key;
    start.query = "uploads=";
    const S3Client::Response started = state.client.send(start);
    const std::string id = element(started.body, "UploadId");
    if (!started.ok() || id.empty()) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.failed = "cannot start a multipart upload";
        state.failure = started;
    } else {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.uploadId = id;
        }
        // One transfer waits for the store's answer to each part; several
        // keep the store busy meanwhile. Each reads its part from the file,
        // so memory stays flat.
        std::vector<std::thread> senders;
        for (int i = 1; i < state.client.settings().transfers; ++i)
            senders.emplace_back(send, std::ref(state));
        send(state);
        for (std::thread &sender : senders)
            sender.join();
        std::unique_lock<std::mutex> lock(state.mutex);
        const bool sound = state.failed.empty() && !state.dropped;
        lock.unlock();
        if (!sound)
            abort(state);
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.finished = true;
    state.changed.notify_all();
}

void ObjectUpload::send(State &state)
{
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        state.changed.wait(lock, [&] {
            return state.dropped || !state.failed.empty() || state.last || !state.queue.empty();
        });
        if (state.dropped || !state.failed.empty() || state.queue.empty())
            return;
        const Part part = state.queue.front();
        state.queue.pop_front();
        lock.unlock();
        S3Client::Request put;
        put.method = "PUT";
        put.key = state.key;
        put.query = "partNumber=" + std::to_string(part.number)
            + "&uploadId=" + S3Client::encode(state.uploadId, false);
        put.bodyFd = state.fd;
        put.bodyOffset = part.offset;
        put.bodyLength = part.length;
        const S3Client::Response sent = state.client.send(put);
        // Once in the store, the part's room on the disk is not needed.
        if (sent.ok())
            ::fallocate(state.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                        static_cast<off_t>(part.offset), static_cast<off_t>(part.length));
        lock.lock();
        if (!sent.ok()) {
            if (state.failed.empty()) {
                state.failed = "cannot store a part of an upload";
                state.failure = sent;
            }
            state.changed.notify_all();
            return;
        }
        state.etags[part.number] = sent.etag;
    }
}

void ObjectUpload::abort(State &state)
{
    // Otherwise its parts stay stored, and counted, until a sweep.
    state.aborts->abort(state.key, state.uploadId);
}

ObjectUpload::Outcome ObjectUpload::finish(uint64_t size, std::string &what,
                                           S3Client::Response &failure)
{
    queueParts(size, true);
    State &state = *m_state;
    std::unique_lock<std::mutex> lock(state.mutex);
    if (!state.running)
        return Outcome::Small;
    state.changed.wait(lock, [&] { return state.finished; });
    if (!state.failed.empty()) {
        what = state.failed;
        failure = state.failure;
        return Outcome::Failed;
    }
    S3Client::Request complete;
    complete.method = "POST";
    complete.key = state.key;
    complete.query = "uploadId=" + S3Client::encode(state.uploadId, false);
    complete.body = "<CompleteMultipartUpload>";
    for (const auto &[number, etag] : state.etags)
        complete.body += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>"
            + etag + "</ETag></Part>";
    complete.body += "</CompleteMultipartUpload>";
    lock.unlock();
    S3Client::Response done = state.client.send(complete);
    // The store may fail the completion inside a 200 answer.
    if (done.ok() && done.body.find("<Error>") != std::string::npos)
        done.status = 500;
    if (done.ok())
        return Outcome::Stored;
    abort(state);
    what = "cannot complete a multipart upload";
    failure = done;
    return Outcome::Failed;
}

} // namespace QuorvaneServer
