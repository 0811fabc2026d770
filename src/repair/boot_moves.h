#pragma once
// Replacements the system carries out at the next boot
// (PendingFileRenameOperations). A run reads them before it touches a
// module, so it never registers a move that a pending one would undo, or
// that would undo one.

#include <windows.h>

#include <string>
#include <vector>

struct BootMove {
    std::wstring source;       // a DOS path
    std::wstring destination;  // a DOS path; empty for a deletion
};

// The moves pending now; empty when there are none or the list is no string list.
std::vector<BootMove> ReadPendingBootMoves();

enum BootMoveState {
    NoBootMove,
    BootMoveOwn,    // exactly one move, from `source` onto names[0]: the one this run would make
    BootMoveOther,  // any other move from or onto one of `names`
};
// How the pending moves touch one module: `names` are the module first, then
// the files that stand for it (its backup, its temporary copy).
BootMoveState FindBootMove(const std::vector<BootMove>& moves, const std::wstring* names, size_t count,
                           const std::wstring& source);
