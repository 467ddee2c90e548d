#include "store/ObjectUpload.h"

#include "store/PendingAborts.h"
#include "store/S3Answer.h"
#include "store/UploadLeases.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace QuorvaneServer {

namespace {

// The store's own trouble is passing: the client hears 503 and tries again.
int errorOf(const S3Client::Response &response)
{
    return response.status == 0 || response.status == 429 || response.status >= 500 ? EAGAIN : EIO;
}

} // namespace

struct ObjectUpload::State
{
    S3Client client;
    std::shared_ptr<PendingAborts> aborts;
    std::shared_ptr<UploadLeases> leases;
    std::shared_ptr<TransferBudget> budget;
    // The buffers' share of it, once given.
    TransferBudget::Share share;
    bool admitting = true; // until the share was given or refused
    // Called once that happened.
    std::function<void()> admittedWake;
    std::string key;
    uint64_t size;

    std::mutex mutex;
    std::condition_variable changed;
    // With a known size, the transfers pull the bytes from here, one at a
    // time, feeding of them at once; cleared when the upload is dropped.
    TempFile *file = nullptr;
    int feeding = 0;
    uint64_t pulled = 0;
    bool dropped = false;
    bool done = false; // no transfer runs any more
    bool stored = false; // the object exists
    bool finished = false; // and its row may name it
    bool cleaned = false;
    std::string failed; // what failed, empty while all is well
    S3Client::Response failure;
    std::string uploadId;
    std::map<int, std::string> etags; // of the parts in the store, by number
    // Without a known size: the bytes of the parts still to send.
    std::string gathered;
    int nextNumber = 1;

    State(const S3Client &client, std::shared_ptr<PendingAborts> aborts,
          std::shared_ptr<UploadLeases> leases, std::shared_ptr<TransferBudget> budget,
          std::string key, uint64_t size)
        : client(client)
        , aborts(std::move(aborts))
        , leases(std::move(leases))
        , budget(std::move(budget))
        , key(std::move(key))
        , size(size)
    {
    }

    void fail(const std::string &what, const S3Client::Response &response)
    {
        if (failed.empty()) {
            failed = what;
            failure = response;
        }
        changed.notify_all();
    }

    // Tells the file, while it is there, that no more bytes are taken: once
    // all went, or at once when the upload failed. Without mutex held, as the
    // file wakes its reader.
    void endFeed(bool all)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!file || (!all && failed.empty()))
            return;
        TempFile *target = file;
        const int error = failed.empty() ? 0 : errorOf(failure);
        ++feeding;
        lock.unlock();
        target->sinkEnded(error);
        lock.lock();
        --feeding;
        changed.notify_all();
    }

    // Gives what the transfers may pull up to end, waiting for the bytes.
    size_t pull(char *data, size_t size, uint64_t end)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return file || dropped || !failed.empty(); });
        if (dropped || !failed.empty())
            return 0;
        TempFile *source = file;
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size, end - pulled));
        ++feeding;
        lock.unlock();
        const size_t given = source->pull(data, wanted);
        lock.lock();
        --feeding;
        pulled += given;
        // Only a part's end, or a drop waiting for this, wakes anyone.
        if (pulled == end || dropped)
            changed.notify_all();
        return given;
    }

    // Removes what a failed or dropped upload left in the store; once, and
    // never what a row may name.
    void cleanUp()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (cleaned || finished)
            return;
        cleaned = true;
        lock.unlock();
        if (stored) {
            S3Client::Request erase;
            erase.method = "DELETE";
            erase.key = key;
            client.send(erase);
        } else if (!uploadId.empty()) {
            // Otherwise its parts stay stored, and counted, until a sweep.
            aborts->abort(key, uploadId);
        }
        if (!uploadId.empty())
            leases->remove(key, uploadId);
    }
};

ObjectUpload::ObjectUpload(const S3Client &client, std::shared_ptr<PendingAborts> aborts,
                           std::shared_ptr<UploadLeases> leases,
                           std::shared_ptr<TransferBudget> budget, std::string key, uint64_t size)
    : m_state(std::make_shared<State>(client, std::move(aborts), std::move(leases),
                                      std::move(budget), std::move(key), size))
{
    if (size == UnknownSize)
        m_state->done = true;
    else
        std::thread(stream, m_state).detach();
}

ObjectUpload::~ObjectUpload()
{
    cancel();
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (!m_state->done || m_state->finished || m_state->cleaned)
        return;
    lock.unlock();
    // The transfers are over: clean up on a thread of its own, since a
    // network thread may be the one dropping the upload.
    std::thread([state = m_state] { state->cleanUp(); }).detach();
}

bool ObjectUpload::attach(TempFile &file)
{
    if (m_state->size == UnknownSize)
        return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->file = &file;
    m_state->changed.notify_all();
    return true;
}

void ObjectUpload::cancel()
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->dropped = true;
    m_state->changed.notify_all();
    // The file may go once no transfer reads it.
    m_state->changed.wait(lock, [this] { return m_state->feeding == 0; });
    m_state->file = nullptr;
}

bool ObjectUpload::admitted(std::function<void()> wake)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->admitting || m_state->size == UnknownSize)
        return true;
    m_state->admittedWake = std::move(wake);
    return false;
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

int ObjectUpload::take(const char *data, size_t size)
{
    // With a known size the transfers pull the bytes instead.
    return m_state->size == UnknownSize ? gather(data, size) : EINVAL;
}

void ObjectUpload::stream(std::shared_ptr<State> shared)
{
    State &state = *shared;
    const uint64_t base = state.client.settings().partSize;
    const bool whole = state.size <= base;
    const size_t transfers = whole ? 1 : std::max(state.client.settings().transfers, 1);
    // A turn that never came, or a drop meanwhile, failed the upload.
    const bool admitted = admit(state,
                                TempFile::sinkBuffers(state.size)
                                    + transfers * S3Client::sendBuffer(whole ? state.size : base));
    if (admitted && whole) {
        S3Client::Request put;
        put.method = "PUT";
        put.key = state.key;
        put.bodyLength = state.size;
        const uint64_t end = state.size;
        put.source = [&state, end](char *data, size_t size) { return state.pull(data, size, end); };
        const S3Client::Response answer = state.client.send(put);
        std::lock_guard<std::mutex> lock(state.mutex);
        if (answer.ok())
            state.stored = true;
        else if (!state.dropped)
            state.fail("cannot store an upload", answer);
    } else if (admitted) {
        S3Client::Request start;
        start.method = "POST";
        start.key = state.key;
        start.query = "uploads=";
        const S3Client::Response started = state.client.send(start);
        const std::string id = S3Answer(started.body).uploadId();
        std::unique_lock<std::mutex> lock(state.mutex);
        if (!started.ok() || id.empty())
            state.fail("cannot start a multipart upload", started);
        else
            state.leases->add(state.key, id);
        state.uploadId = id;
        // Each part is taken from the upload's buffer as it arrives; the next
        // starts while the store answers the one before.
        std::deque<std::thread> parts;
        uint64_t offset = 0;
        for (int number = 1; offset < state.size && state.failed.empty() && !state.dropped;
             ++number) {
            const uint64_t length = std::min(partSize(base, number), state.size - offset);
            offset += length;
            lock.unlock();
            if (static_cast<int>(parts.size()) >= std::max(state.client.settings().transfers, 1)) {
                parts.front().join();
                parts.pop_front();
            }
            parts.emplace_back(streamPart, std::ref(state), number, length, offset);
            lock.lock();
            state.changed.wait(lock, [&] {
                return state.pulled >= offset || state.dropped || !state.failed.empty();
            });
        }
        lock.unlock();
        for (std::thread &part : parts)
            part.join();
    }
    state.endFeed(true);
    std::unique_lock<std::mutex> lock(state.mutex);
    // Given back as the transfers end, not as the upload goes: its row
    // commits on a thread that a download waiting for a share may hold.
    TransferBudget::Share share = std::move(state.share);
    state.done = true;
    state.changed.notify_all();
    if (state.dropped || !state.failed.empty()) {
        lock.unlock();
        state.cleanUp();
    }
}

void ObjectUpload::streamPart(State &state, int number, uint64_t length, uint64_t end)
{
    S3Client::Request put;
    put.method = "PUT";
    put.key = state.key;
    put.query = "partNumber=" + std::to_string(number)
        + "&uploadId=" + S3Client::encode(state.uploadId, false);
    put.bodyLength = length;
    put.source = [&state, end](char *data, size_t size) { return state.pull(data, size, end); };
    const S3Client::Response sent = state.client.send(put);
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (sent.ok())
            state.etags[number] = sent.etag;
        else if (!state.dropped)
            state.fail("cannot store a part of an upload", sent);
    }
    // The client stops at once, not when the other parts in flight are.
    state.endFeed(false);
}

bool ObjectUpload::start()
{
    S3Client::Request start;
    start.method = "POST";
    start.key = m_state->key;
    start.query = "uploads=";
    const S3Client::Response started = m_state->client.send(start);
    const std::string id = S3Answer(started.body).uploadId();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!started.ok() || id.empty()) {
        m_state->fail("cannot start a multipart upload", started);
        return false;
    }
    m_state->uploadId = id;
    m_state->leases->add(m_state->key, id);
    return true;
}

bool ObjectUpload::admit(State &state, size_t bytes)
{
    const std::chrono::seconds patience(state.client.settings().timeoutSeconds);
    TransferBudget::Share share = state.budget->take(bytes, patience, [&state] {
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.dropped;
    });
    std::unique_lock<std::mutex> lock(state.mutex);
    const bool given = static_cast<bool>(share);
    if (!given) {
        // The store's passing trouble as far as the client can tell: 503.
        S3Client::Response busy;
        busy.failure = "no room for another transfer in the store's buffer budget";
        if (!state.dropped)
            state.fail("the store is busy", busy);
    }
    state.share = std::move(share);
    state.admitting = false;
    // The client is read from again, or hears of the failure.
    const std::function<void()> wake = std::move(state.admittedWake);
    state.admittedWake = nullptr;
    lock.unlock();
    if (wake)
        wake();
    return given;
}

int ObjectUpload::gather(const char *data, size_t size)
{
    State &state = *m_state;
    bool admitted;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        admitted = static_cast<bool>(state.share);
    }
    // A part is gathered whole and copied out as it goes.
    if (!admitted
        && !admit(state,
                  TempFile::sinkBuffers(ObjectUpload::UnknownSize)
                      + 2 * partSize(state.client.settings().partSize, 1)))
        return errorOf(state.failure);
    state.gathered.append(data, size);
    const uint64_t base = state.client.settings().partSize;
    // A part goes once more bytes follow it: the last one may be short.
    while (state.gathered.size() > partSize(base, state.nextNumber)) {
        if ((state.uploadId.empty() && !start()) || !sendGathered(state.nextNumber++))
            return errorOf(state.failure);
    }
    return 0;
}

bool ObjectUpload::sendGathered(int number)
{
    State &state = *m_state;
    const size_t length = std::min<size_t>(state.gathered.size(),
                                           partSize(state.client.settings().partSize, number));
    S3Client::Request put;
    put.method = "PUT";
    put.key = state.key;
    put.query = "partNumber=" + std::to_string(number)
        + "&uploadId=" + S3Client::encode(state.uploadId, false);
    put.body = state.gathered.substr(0, length);
    state.gathered.erase(0, length);
    // A dropped upload is waited for by the one dropping it.
    put.cancelled = [&state] {
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.dropped;
    };
    const S3Client::Response sent = state.client.send(put);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!sent.ok()) {
        state.fail("cannot store a part of an upload", sent);
        return false;
    }
    state.etags[number] = sent.etag;
    return true;
}

bool ObjectUpload::finish(uint64_t size, std::string &what, S3Client::Response &failure)
{
    State &state = *m_state;
    if (state.size == UnknownSize) {
        if (state.uploadId.empty()) {
            S3Client::Request put;
            put.method = "PUT";
            put.key = state.key;
            put.body = std::move(state.gathered);
            const S3Client::Response answer = state.client.send(put);
            std::lock_guard<std::mutex> lock(state.mutex);
            if (answer.ok())
                state.stored = true;
            else
                state.fail("cannot store an upload", answer);
        } else {
            sendGathered(state.nextNumber);
        }
        std::unique_lock<std::mutex> lock(state.mutex);
        TransferBudget::Share share = std::move(state.share);
        lock.unlock();
    }
    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait(lock, [&] { return state.done; });
    if (state.failed.empty() && state.size != UnknownSize && size != state.size)
        state.fail("the upload is shorter than announced", S3Client::Response());
    if (state.failed.empty() && !state.stored) {
        std::string body = "<CompleteMultipartUpload>";
        for (const auto &[number, etag] : state.etags)
            body += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" + etag
                + "</ETag></Part>";
        body += "</CompleteMultipartUpload>";
        S3Client::Request complete;
        complete.method = "POST";
        complete.key = state.key;
        complete.query = "uploadId=" + S3Client::encode(state.uploadId, false);
        complete.body = std::move(body);
        lock.unlock();
        S3Client::Response done = state.client.send(complete);
        // The store may fail the completion inside a 200 answer.
        if (done.ok() && done.body.find("<Error>") != std::string::npos)
            done.status = 500;
        lock.lock();
        if (done.ok())
            state.stored = true;
        else
            state.fail("cannot complete a multipart upload", done);
    }
    if (state.failed.empty() && !state.uploadId.empty()) {
        // Only an object of the upload's size is handed to a row; a single
        // PUT of that many bytes was already answered for them all.
        lock.unlock();
        S3Client::Request head;
        head.method = "HEAD";
        head.key = state.key;
        S3Client::Response held = state.client.send(head);
        lock.lock();
        if (held.ok() && held.length != static_cast<int64_t>(size)) {
            held.status = -1;
            held.failure = "the stored object has " + std::to_string(held.length) + " bytes, not "
                + std::to_string(size);
        }
        if (!held.ok())
            state.fail("cannot confirm a stored upload", held);
    }
    if (state.failed.empty()) {
        state.finished = true;
        if (!state.uploadId.empty())
            state.leases->remove(state.key, state.uploadId);
        return true;
    }
    what = state.failed;
    failure = state.failure;
    return false;
}

} // namespace QuorvaneServer
