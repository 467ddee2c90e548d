#pragma once

#include <QtGlobal>

// What other programs may rely on when they talk to a running keycrate.
namespace InstanceProtocol {

// The running instance is registered under its window's title.
inline constexpr char WindowTitle[] = "Lock my files";

enum Message : quint32 {
    CloseRequest = 16, // hide the main window
    EndProcess = 1045, // end at once, without tidying the lock list
    HandOver = 1046, // a command in lParam, below
};

// Commands of HandOver. A sender of LockCommand or UploadCommand first writes
// the file's path into the setting "file_to_process_path".
enum Command : qint64 {
    LockCommand = 0, // lock, or unlock a locked file; result 0 or 99
    UploadCommand = 1, // show the window and back the file up; result 0
    ShowCommand = 2, // show the window, its settings and list read anew; result 0
};

// Shared-memory key of the published lock list: the path bytes of every line
// of the list, each followed by a line feed, and nothing else.
inline constexpr char LockListKey[] = "mySharedMemory";

} // namespace InstanceProtocol
