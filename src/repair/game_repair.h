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
// on); restore receives the confirmed lower-cased folder.
struct GameRepairHooks {
    int (*confirm)(void* context);
    void (*restore)(const std::wstring& folder, void* context);
    void* context;
};

// The title of the consent question, so the window can answer it on a stop.
extern const wchar_t kGameConsentCaption[];

// The default confirmation: a message box with no owner.
int AskGameRepairConsent(void* context);

// Enumerates the MUICache key for the first folder holding either launcher
// and, on consent, restores it. Null hooks: the message box and
// RestoreGameModules with `comm`. Nothing is asked or restored once `comm`
// reports a stop.
void LocateGameFolder(const GameRepairHooks* hooks = nullptr, ICommunication* comm = nullptr);

// `store` holds the "BIN" resources; null means this program's own module.
// `folder` ends with a backslash. Each module ends replaced, scheduled for
// the boot or failed, with its log line, and sets RepairPerformed or
// RepairFailed; `comm` is asked between modules and at every chunk of a
// copy, and a module under way when it reports a stop is left as it was,
// with no line.
void RestoreGameModules(const std::wstring& folder, HMODULE store = nullptr, ICommunication* comm = nullptr);
void RestoreModule(const std::wstring& folder, const GameModuleEntry& entry, HMODULE store = nullptr);

// Writes the embedded module to `path`. Fails, leaving `path` untouched, when
// the resource is missing or empty; a short write removes the partial file.
int ExtractModuleResource(WORD resourceId, const wchar_t* path, HMODULE store = nullptr);
