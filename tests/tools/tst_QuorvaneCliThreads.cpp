#include "Cli.h"
#include "LibraryBinding.h"

#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The program's commands from two threads of one process that runs no Qt
// application: the library then lives on its own thread and is called from
// both of ours at once.
class tst_QuorvaneCliThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameOperationsFromTwoThreads();

private:
    std::string m_folder;
    pid_t m_server = 0;
};

namespace {

struct Result
{
    int code;
    std::string out;
    std::string err;
};

Result quorvane(const std::vector<std::string> &arguments)
{
    std::ostringstream out, err;
    const int code = Cli::run(arguments, out, err, false);
    return { code, out.str(), err.str() };
}

std::string readAll(const std::string &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One thread's round of every operation on events of its own; what went
// wrong, empty when nothing did.
std::string round(const std::string &label, const std::string &folder)
{
    const auto failed = [&](const std::string &step, const Result &result) {
        return label + " " + step + ": " + std::to_string(result.code) + " " + result.err;
    };
    const std::string file = folder + "/" + label + ".txt";
    std::ofstream(file) << label;
    const Result added = quorvane({ "add", file, "--title", label + " file" });
    if (added.code != 0 || added.out.size() != 37)
        return failed("add", added);
    const std::string fileId = added.out.substr(0, 36);
    const Result text = quorvane({ "add-text", label + " text", "body of " + label });
    if (text.code != 0 || text.out.size() != 37)
        return failed("add-text", text);
    const std::string textId = text.out.substr(0, 36);

    const Result listed = quorvane({ "list", "--server", "--all", "--json" });
    if (listed.code != 0 || listed.out.find(fileId) == std::string::npos
        || listed.out.find(textId) == std::string::npos)
        return failed("list", listed);
    for (const std::vector<std::string> &step :
         std::vector<std::vector<std::string>> { { "rm", "--local", fileId },
                                                 { "pull", fileId },
                                                 { "rm", "--server", textId },
                                                 { "sync", fileId, textId },
                                                 { "show", textId },
                                                 { "rm", fileId, textId } }) {
        const Result result = quorvane(step);
        if (result.code != 0)
            return failed(step[0] + " " + step[1], result);
    }
    const Result after = quorvane({ "list", "--server", "--all", "--json" });
    if (after.code != 0 || after.out.find(fileId) != std::string::npos
        || after.out.find(textId) != std::string::npos)
        return failed("list after rm", after);
    return std::string();
}

} // namespace

void tst_QuorvaneCliThreads::initTestCase()
{
    const char *temporary = std::getenv("TMPDIR");
    char pattern[4096];
    std::snprintf(pattern, sizeof pattern, "%s/threads-XXXXXX", temporary ? temporary : "/tmp");
    QVERIFY(::mkdtemp(pattern));
    m_folder = pattern;
    const std::string server = std::string(std::getenv("KEYCRATE_BIN_DIR")) + "/quorvane-server";
    const std::string data = m_folder + "/server";
    const std::string log = m_folder + "/server.log";
    const std::string account
        = "printf 'pw\\n' | '" + server + "' adduser t1 --data '" + data + "' > /dev/null";
    QCOMPARE(std::system(account.c_str()), 0);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    const char *arguments[]
        = { server.c_str(), "--listen", "127.0.0.1:0", "--data", data.c_str(), nullptr };
    QCOMPARE(posix_spawn(&m_server, server.c_str(), &actions, nullptr,
                         const_cast<char **>(arguments), environ),
             0);
    posix_spawn_file_actions_destroy(&actions);

    const std::regex listening("listening on (http://127\\.0\\.0\\.1:[0-9]+)");
    std::smatch match;
    std::string text;
    for (int i = 0; i < 300 && !std::regex_search(text, match, listening); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        text = readAll(log);
    }
    QVERIFY2(!match.empty(), text.c_str());
    QCOMPARE(quorvane({ "config", "server_url", match[1].str() }).code, 0);
    QCOMPARE(quorvane({ "config", "data_path", m_folder + "/events" }).code, 0);
    // What config --password-stdin does, without a standard input to share.
    Quorvane::IQuorvane *library = LibraryBinding::interface(nullptr);
    QVERIFY(library);
    QCOMPARE(library->setCredentials("t1", "pw"), 0);
}

void tst_QuorvaneCliThreads::cleanupTestCase()
{
    if (m_server > 0) {
        ::kill(m_server, SIGKILL);
        ::waitpid(m_server, nullptr, 0);
    }
}

void tst_QuorvaneCliThreads::sameOperationsFromTwoThreads()
{
    std::string failures[2];
    std::thread first([&] { failures[0] = round("first", m_folder); });
    std::thread second([&] { failures[1] = round("second", m_folder); });
    first.join();
    second.join();
    QVERIFY2(failures[0].empty(), failures[0].c_str());
    QVERIFY2(failures[1].empty(), failures[1].c_str());
}

int main(int argc, char **argv)
{
    tst_QuorvaneCliThreads test;
    const int result = QTest::qExec(&test, argc, argv);
    std::fflush(nullptr);
    // The library's thread runs to the end of the process.
    std::_Exit(result);
}

#include "tst_QuorvaneCliThreads.moc"
