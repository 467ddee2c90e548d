#include "PipePool.h"

#include "QuorvPipe.h"

#include <new>
#include <utility>

namespace Quorvane {

namespace {

PipePool::FailureSeam &failureSeam()
{
    static PipePool::FailureSeam seam;
    return seam;
}

bool injectedFailure(int size, int index)
{
    if (failureSeam())
        return failureSeam()(size, index);
#ifdef KEYCRATE_TESTING
    if (index != 0)
        return false;
    const QByteArray failing = qgetenv("KEYCRATE_TEST_PIPE_POOL_FAILURE");
    return failing == "all" || failing == QByteArray::number(size);
#else
    Q_UNUSED(size);
    Q_UNUSED(index);
    return false;
#endif
}

} // namespace

void PipePool::setFailureSeam(FailureSeam seam)
{
    failureSeam() = std::move(seam);
}

// Each pipe is constructed in place in one block. If any construction fails,
// the pipes built so far are destroyed, last first, and the block is freed
// before the failure goes on.
QuorvPipe *PipePool::build(int size)
{
    void *block = ::operator new(sizeof(QuorvPipe) * std::size_t(size));
    auto *pipes = static_cast<QuorvPipe *>(block);
    int built = 0;
    try {
        for (; built < size; ++built) {
            if (injectedFailure(size, built))
                throw std::bad_alloc();
            new (pipes + built) QuorvPipe;
        }
    } catch (...) {
        while (built > 0)
            pipes[--built].~QuorvPipe();
        ::operator delete(block);
        throw;
    }
    return pipes;
}

PipePool::PipePool()
{
    try {
        m_pipes = build(PreferredSize);
        m_size = PreferredSize;
    } catch (...) {
        m_pipes = build(FallbackSize);
        m_size = FallbackSize;
    }
}

PipePool::~PipePool()
{
    for (int index = m_size - 1; index >= 0; --index)
        m_pipes[index].~QuorvPipe();
    ::operator delete(m_pipes);
}

QuorvPipe &PipePool::pipe(int index)
{
    return m_pipes[index];
}

int PipePool::chooseForAdd(int kind)
{
    if (kind == 3 || kind == 4)
        return 0;
    if (m_cursor < m_size)
        return m_cursor++;
    m_cursor = 0;
    return 0;
}

void PipePool::select(const QList<QByteArray> &ids)
{
    QuorvPipe &pipe = first();
    EventMap &queue = pipe.workQueue();
    queue.clear();
    const EventMap &results = pipe.results();
    for (const QByteArray &id : ids) {
        const auto found = results.constFind(id);
        if (found == results.cend())
            break;
        queue.insert(id, found.value());
    }
}

} // namespace Quorvane
