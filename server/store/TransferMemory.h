#pragma once

#include <cstddef>

namespace QuorvaneServer {

// The large buffers that transfers take and give back (an upload's buffers,
// libcurl's upload and receive buffers, which it is given these allocators
// for, and a download's own buffer), mapped from the system apart from
// malloc and kept for the next transfer. Each transfer to an object store
// runs on a thread of its own: freed there, a buffer of a MiB stayed in that
// thread's malloc arena, and the process grew by the buffers of every arena;
// mapped and unmapped each time instead, every part cost a MiB of page faults.
// Smaller blocks go to malloc as they come.
class TransferMemory
{
public:
    // Blocks of this size and larger are mapped and kept, by their exact size.
    static constexpr size_t KeptFrom = 64 * 1024;
    // At most this many bytes of them wait for a transfer; more are unmapped.
    static constexpr size_t KeptLimit = 8 * 1024 * 1024;

    // One block, given back when it goes.
    class Buffer
    {
    public:
        Buffer() = default;
        Buffer(Buffer &&other) noexcept;
        Buffer &operator=(Buffer &&other) noexcept;
        ~Buffer();

        // Room for size bytes in place of what it held; false, and empty, when
        // there is no memory for them.
        bool reset(size_t size);
        char *data() const { return m_data; }
        size_t size() const { return m_size; }

    private:
        char *m_data = nullptr;
        size_t m_size = 0;
    };

    // Initialises libcurl with these allocators; once, before any other
    // use of libcurl in the process. False when libcurl refused them (then
    // it was initialised with its own).
    static bool install();

    // The allocators libcurl is given; a block from allocate() goes back
    // with release().
    static void *allocate(size_t size);
    static void release(void *block);
    static void *resize(void *block, size_t size);
    static char *duplicate(const char *text);
    static void *allocateZeroed(size_t count, size_t size);

    // Bytes of blocks that wait for a transfer now.
    static size_t kept();
};

} // namespace QuorvaneServer
