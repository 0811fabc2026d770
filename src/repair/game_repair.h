#pragma once
// The game repair: finds the game folder from the MUICache record, asks the
// user, and puts back the eight client modules carried as "BIN" resources.

#include <windows.h>

#include <string>

#include "log/run_state.h"

enum ReplacementMode : int { CopyThenSchedule = 0, ScheduleOnly = 1 };

struct GameModuleEntry {
    const wchar_t* moduleFile;
    const wchar_t* backupFile;
    const wchar_t* tempFile;
    WORD resourceId;
    ReplacementMode mode;
};

extern const GameModuleEntry GameModuleTable[];
extern const size_t GameModuleCount;

// The two outside effects of a run, replaceable so a host or a test can
// answer for the user. confirm returns the message-box answer (IDYES to go
// on); restore receives the confirmed lower-cased folder. accept, when
// given, passes over a folder with a launcher that it returns false for.
struct GameRepairHooks {
    int (*confirm)(void* context);
    void (*restore)(const std::wstring& folder, void* context);
    void* context;
    bool (*accept)(const std::wstring& folder, void* context);
};

// The hooks' question for a search whose context carries the caller's own
// question: a Search with `confirm` and the `context` to ask it with.
template <typename Search>
int AskSearchQuestion(void* search)
{
    const Search* self = static_cast<const Search*>(search);
    return self->confirm(self->context);
}

// How far a search came: no folder with a launcher, none that accept took,
// a "no" (or a stop) to the question, or a consent and the restoration.
enum GameFolderSearch { NoGameFolder, NoAcceptedFolder, GameDeclined, GameConfirmed };

// What one restoration did, for its host to report.
struct GameRepairResult {
    bool held = false;        // the folder chain was held (else every module failed, or a stop came first)
    int replaced = 0;         // now
    int scheduled = 0;        // at the next boot (RestartRequired is set)
    int failed = 0;           // failure lines, those of awaitingRestart included
    int awaitingRestart = 0;  // left alone: a boot-time move onto it is still pending
};

// The title of the consent question, so the window can answer it on a stop.
extern const wchar_t kGameConsentCaption[];

// The default confirmation: a message box with no owner.
int AskGameRepairConsent(void* context);

// Where a run that no user watches looks for the game: a folder named on
// the command line instead of the search, or, where the current user's
// record offers no game folder (a task run as SYSTEM), also the records of
// the users whose hives are loaded.
struct GameSearch {
    std::wstring folder;  // empty: search
    bool loadedUsers = false;
};

// Enumerates the MUICache key for the first folder holding either launcher
// and, on consent, restores it. Null hooks: the message box and
// RestoreGameModules with `comm`. Nothing is asked or restored once `comm`
// reports a stop. A named folder is taken only when it passes the same
// checks as a searched one.
GameFolderSearch LocateGameFolder(const GameRepairHooks* hooks = nullptr, ICommunication* comm = nullptr,
                                  const GameSearch* where = nullptr);

// LocateGameFolder with `confirm` for the question and RestoreGameModules
// with `comm`: how far the search came, and what the restoration did.
struct GameRepairRun {
    GameFolderSearch search = NoGameFolder;
    GameRepairResult result;
};
GameRepairRun LocateAndRepairGame(int (*confirm)(void* context), void* context, ICommunication* comm,
                                  const GameSearch* where = nullptr);

// `store` holds the "BIN" resources; null means this program's own module.
// `folder` ends with a backslash; its folder chain is held open for the
// whole restoration. Each module ends replaced, scheduled for the boot or
// failed, with its log line, and sets RepairPerformed or RepairFailed (and
// AwaitingRestart for one a pending boot-time move still waits on); `comm`
// is asked between modules and at every chunk of a copy, and a module under
// way when it reports a stop is left as it was, with no line.
GameRepairResult RestoreGameModules(const std::wstring& folder, HMODULE store = nullptr,
                                    ICommunication* comm = nullptr);
GameRepairResult RestoreModule(const std::wstring& folder, const GameModuleEntry& entry, HMODULE store = nullptr);

// True when `path` is a plain file holding exactly the store's module
// `resourceId`: the clean copy a repair wrote. False when it differs or
// cannot be read.
bool IsStoreModule(const std::wstring& path, WORD resourceId, HMODULE store = nullptr);

// Writes the embedded module to `path`. Fails, leaving `path` untouched, when
// the resource is missing or empty; a short write removes the partial file.
int ExtractModuleResource(WORD resourceId, const wchar_t* path, HMODULE store = nullptr);
