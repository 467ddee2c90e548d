#pragma once

#include <QByteArray>
#include <QList>
#include <functional>

namespace Quorvane {

class QuorvPipe;

// The pipes every event operation runs on, built in place in one array: 39 of
// them, or 9 when the 39 cannot be built. Pipe 0 is the first pipe: it serves
// every operation but most adds, and its results are what the host reads.
// Belongs to the thread that built it, like the pipes.
class PipePool
{
public:
    static constexpr int PreferredSize = 39;
    static constexpr int FallbackSize = 9;

    // Test seam: asked before each pipe is built; true makes that construction
    // fail as if memory had run out. For a library loaded at run time, a test
    // build's environment does the same: KEYCRATE_TEST_PIPE_POOL_FAILURE=39
    // fails the preferred pool, =all fails both (the library then has no pool).
    using FailureSeam = std::function<bool(int poolSize, int index)>;
    static void setFailureSeam(FailureSeam seam);

    // Throws when not even the fallback pool can be built.
    PipePool();
    ~PipePool();

    PipePool(const PipePool &) = delete;
    PipePool &operator=(const PipePool &) = delete;

    int size() const { return m_size; }
    QuorvPipe &pipe(int index);
    QuorvPipe &first() { return pipe(0); }

    // The pipe that serves an added event of this kind. Kinds 3 and 4 go to the
    // first pipe; the others take the pipes in turn, and each wrap hands the
    // first pipe two adds in a row (the cursor goes back to 0 after serving
    // from pipe 0 rather than to 1).
    int chooseForAdd(int kind);
    int cursor() const { return m_cursor; }

    // Fills the first pipe's work queue with copies of the listed events from
    // its result map, in list order, stopping at the first id it does not
    // hold. What was selected is not reported.
    void select(const QList<QByteArray> &ids);

private:
    static QuorvPipe *build(int size);

    QuorvPipe *m_pipes = nullptr;
    int m_size = 0;
    int m_cursor = 0;
};

} // namespace Quorvane
