// A host without a Qt application: plain C++, loads the library by file name
// and drives it from its own thread while the library works on its worker
// thread. Starts the reference server itself on a free loopback port.

#include "IQuorvane.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <netinet/in.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Quorvane;

namespace {

std::atomic<int> failures { 0 };

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "FAIL line %d: %s\n", __LINE__, #condition);                      \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

// Everything a callback tells, guarded: the callbacks come from the library's
// worker thread while this thread waits.
class WaitingUser : public QuorvaneUser
{
public:
    void OnFinished(int code, int count) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished.push_back({ code, count });
        m_callbackThreads.push_back(std::this_thread::get_id());
        m_changed.notify_all();
    }
    void OnMessage(const char *text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(text ? text : "");
        m_callbackThreads.push_back(std::this_thread::get_id());
    }
    void OnProgress(int, int) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_progress;
        m_callbackThreads.push_back(std::this_thread::get_id());
    }

    // The next report, or {-1, -1} after 30 seconds.
    std::pair<int, int> next()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool arrived = m_changed.wait_for(lock, std::chrono::seconds(30),
                                                [this] { return m_finished.size() > m_taken; });
        if (!arrived)
            return { -1, -1 };
        return m_finished[m_taken++];
    }
    bool heard(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string &message : m_messages) {
            if (message == text)
                return true;
        }
        return false;
    }
    int progressReports()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_progress;
    }
    bool allOn(std::thread::id excluded)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (std::thread::id id : m_callbackThreads) {
            if (id == excluded)
                return false;
        }
        return !m_callbackThreads.empty();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<int, int>> m_finished;
    std::size_t m_taken = 0;
    std::vector<std::string> m_messages;
    std::vector<std::thread::id> m_callbackThreads;
    int m_progress = 0;
};

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

int freePort()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

bool answers(int port)
{
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool connected
        = connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(client);
    return connected;
}

// Runs the server program with arguments; feeds input to its stdin. Returns
// the child's id, or -1.
pid_t spawn(const std::vector<std::string> &arguments, const std::string &input)
{
    int feed[2];
    if (pipe(feed) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        // A test that dies must not leave its server behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(feed[0], STDIN_FILENO);
        close(feed[0]);
        close(feed[1]);
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(feed[0]);
    if (!input.empty() && write(feed[1], input.data(), input.size()) < 0)
        std::perror("write");
    close(feed[1]);
    return child;
}

std::string makeTemporaryFolder(const std::string &base, const char *name)
{
    std::string pattern = base + "/" + name + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}

bool writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return bool(out);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The first listed event named so, with its id and location.
bool findByName(IQuorvane *library, int count, const char *name, std::string &id, int &location)
{
    EventNative **list = library->getEventList();
    for (int i = 0; list && i < count; ++i) {
        if (list[i]->name && std::strcmp(list[i]->name, name) == 0) {
            id = list[i]->id;
            location = list[i]->location;
            return true;
        }
    }
    return false;
}

std::string eventFolder(const std::string &data, const char *recordTime, const std::string &id)
{
    const time_t seconds = time_t(std::strtoul(recordTime ? recordTime : "0", nullptr, 10));
    std::tm day {};
    localtime_r(&seconds, &day);
    char date[16];
    std::strftime(date, sizeof date, "%Y/%m/%d", &day);
    return data + "/" + date + "/" + id;
}

IdList oneId(const std::string &id)
{
    IdList list = IdList::withCapacity(1);
    list.append(id.c_str());
    return list;
}

} // namespace

int main()
{
    const std::string bin = environment("KEYCRATE_BIN_DIR");
    const std::string temporary = environment("TMPDIR").empty() ? "/tmp" : environment("TMPDIR");
    const std::string config = environment("XDG_CONFIG_HOME");
    if (bin.empty() || config.empty()) {
        std::fprintf(stderr, "KEYCRATE_BIN_DIR and XDG_CONFIG_HOME must be set\n");
        return 2;
    }
    const std::string serverData = makeTemporaryFolder(temporary, "server");
    const std::string data = makeTemporaryFolder(temporary, "data");
    const std::string secondData = makeTemporaryFolder(temporary, "second");
    const std::string files = makeTemporaryFolder(temporary, "files");
    const std::string server = bin + "/quorvane-server";

    int status = 0;
    const pid_t adduser = spawn({ server, "adduser", "plain", "--data", serverData }, "plainpw\n");
    if (adduser < 0 || waitpid(adduser, &status, 0) != adduser || status != 0) {
        std::fprintf(stderr, "cannot add the account\n");
        return 2;
    }
    pid_t serverProcess = -1;
    int port = 0;
    for (int attempt = 0; attempt < 5 && serverProcess < 0; ++attempt) {
        port = freePort();
        const pid_t child = spawn(
            { server, "--listen", "127.0.0.1:" + std::to_string(port), "--data", serverData }, "");
        for (int wait = 0; wait < 200; ++wait) {
            if (answers(port)) {
                serverProcess = child;
                break;
            }
            if (waitpid(child, &status, WNOHANG) == child)
                break;
            usleep(50 * 1000);
        }
        if (serverProcess < 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
    }
    if (serverProcess < 0) {
        std::fprintf(stderr, "the server did not come up\n");
        return 2;
    }

    // The server's address is a setting of its own; the rest goes through the
    // interface.
    mkdir((config + "/keycrate.org").c_str(), 0700);
    writeFile(config + "/keycrate.org/Quorvane.conf",
              "[General]\nserver_url=http://127.0.0.1:" + std::to_string(port) + "\n");

    void *handle = dlopen((bin + "/libQuorvane.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    auto get = handle
        ? reinterpret_cast<GetQuorvanePointerFunction>(dlsym(handle, "GetQuorvanePointer"))
        : nullptr;
    IQuorvane *library = get ? get() : nullptr;
    if (!library) {
        std::fprintf(stderr, "cannot bind the library: %s\n", dlerror());
        kill(serverProcess, SIGTERM);
        waitpid(serverProcess, &status, 0);
        return 2;
    }
    CHECK(get() == library);
    const std::thread::id hostThread = std::this_thread::get_id();

    // Settings, read back from this thread.
    library->setDataPath(data.c_str());
    library->setCredentials("plain", "plainpw");
    CHECK(std::string(library->getDataPath()) == data);
    CHECK(std::string(library->getCredentials()->user) == "plain");
    library->setRefreshDays(2);
    CHECK(library->getRefreshDays() == 2);
    CHECK(std::string(library->getVersion()) == "Version: 1.14");

    WaitingUser user;
    std::string bytes;
    for (int i = 0; i < 200000; ++i)
        bytes += char('a' + i % 26);
    const std::string file = files + "/letter.txt";
    CHECK(writeFile(file, bytes));

    // Add: saved, uploaded, read again.
    {
        EventNative event;
        event.kind = 3;
        event.access = 1;
        event.name = "Plain host";
        event.path = file.c_str();
        CHECK(library->addEvent(event, &user) == 0);
    }
    std::pair<int, int> report = user.next();
    CHECK(report.first == 0);
    std::string id;
    int location = -1;
    CHECK(findByName(library, report.second, "Plain host", id, location));
    CHECK(location == 2);
    CHECK(user.heard("Uploading event \"Plain host\"..."));
    CHECK(user.heard("Done."));
    CHECK(user.progressReports() > 0);

    // A local-only event, uploaded afterwards.
    {
        EventNative event;
        event.kind = 3;
        event.access = 2;
        event.name = "Plain later";
        event.path = file.c_str();
        CHECK(library->addEvent(event, &user) == 0);
    }
    report = user.next();
    CHECK(report.first == 0);
    std::string laterId;
    CHECK(findByName(library, report.second, "Plain later", laterId, location));
    CHECK(location == 0);
    CHECK(library->uploadEvents(oneId(laterId), &user) == 0);
    CHECK(user.next().first == 0);

    // Load into a second, empty data folder, then download there.
    library->setDataPath(secondData.c_str());
    CHECK(library->loadEvents(&user, true, 0, 0, "", "", false) == 0);
    report = user.next();
    CHECK(report.first == 0);
    CHECK(report.second == 2);
    CHECK(findByName(library, report.second, "Plain host", id, location) && location == 1);
    const EventNative looked = library->getEvent(id.c_str());
    CHECK(looked.name && std::string(looked.name) == "Plain host");
    CHECK(library->downloadEvents(oneId(id), &user) == 0);
    CHECK(user.next().first == 0);
    // The stored copy sits in the event folder (day of recordTime, then the
    // id), named like the file; no holding file is left.
    const std::string folder = eventFolder(secondData, looked.recordTime, id);
    CHECK(readFile(folder + "/letter.txt") == bytes);
    CHECK(access((secondData + "/" + id).c_str(), F_OK) != 0);

    // Delete everywhere, then read again: one event left, on the server only.
    CHECK(library->deleteEvents(oneId(id), &user) == 0);
    CHECK(user.next().first == 0);
    CHECK(library->loadEvents(&user, true, 0, 0, "", "", false) == 0);
    report = user.next();
    CHECK(report.first == 0);
    CHECK(report.second == 1);
    CHECK(!findByName(library, report.second, "Plain host", id, location));

    // Cancelling with nothing pending changes nothing.
    library->cancelAll();
    CHECK(library->loadEvents(&user, true, 0, 0, "", "", false) == 0);
    CHECK(user.next().first == 0);

    CHECK(user.allOn(hostThread));

    // Texts handed out stay as they were for the thread that asked, whatever
    // other threads ask in between or at the same moment.
    library->setDataPath(data.c_str());
    CHECK(library->loadEvents(&user, true, 0, 0, "", "", false) == 0);
    report = user.next();
    CHECK(report.first == 0 && report.second == 2);
    {
        const char *path = library->getDataPath();
        std::thread([&] {
            library->setDataPath(secondData.c_str());
            CHECK(std::string(library->getDataPath()) == secondData);
            library->setDataPath(data.c_str());
        }).join();
        CHECK(std::string(path) == data);

        const std::string ids[2] = { id, laterId };
        const char *names[2] = { "Plain host", "Plain later" };
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&, t] {
                for (int round = 0; round < 50; ++round) {
                    const EventNative mine = library->getEvent(ids[t % 2].c_str());
                    EventNative **list = library->getEventList();
                    const char *folder = library->getDataPath();
                    CHECK(mine.name && std::strcmp(mine.name, names[t % 2]) == 0);
                    CHECK(list && list[0]->id && list[1]->id
                          && std::strcmp(list[0]->id, list[1]->id) < 0);
                    CHECK(std::string(folder) == data);
                }
            });
        }
        for (std::thread &reader : readers)
            reader.join();
    }

    // The server's data is thrown away: no graceful end needed.
    kill(serverProcess, SIGKILL);
    waitpid(serverProcess, &status, 0);
    std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "PASSED", failures.load());
    std::fflush(stdout);
    std::fflush(stderr);
    // The library's worker thread runs until the process ends; leave without
    // tearing down static objects under its feet.
    std::_Exit(failures ? 1 : 0);
}
