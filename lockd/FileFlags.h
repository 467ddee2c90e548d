#pragma once

// The immutable inode flag (what `chattr +i` sets): a file that carries it
// cannot be written, truncated, renamed, deleted, linked or have its mode
// changed, not even by root.
class FileFlags
{
public:
    enum class State { Immutable, Mutable, Unsupported };

    // What the file system says of the file behind fd; *flags gets all its
    // flags.
    static State immutable(int fd, int *flags);
    // Sets the immutable flag on top of flags, as immutable() read them.
    static int addImmutable(int fd, int flags);
    // Sets or clears only the immutable flag, keeping the others. 0 or an errno.
    static int setImmutable(int fd, bool on);
};
