#pragma once
// The four repair commands and the registry and drive routines they run.
// The routines no command calls are here too, for a host to run.

#include "commands/command.h"

#include <cstdint>
#include <string>
#include <vector>

class CKillerForLnkKiller : public CCommand {
public:
    CKillerForLnkKiller() = default;
    ~CKillerForLnkKiller() override = default;
    int32_t Execute(ICommunication* comm) override;
    void GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const;

protected:
    ICommunication* m_pComm = nullptr;
    int32_t m_nRemoved = 0;
    int32_t m_nRepaired = 0;
};

class CKillerForOneKB : public CCommand {
public:
    CKillerForOneKB() = default;
    ~CKillerForOneKB() override = default;
    // Needs a valid ICommunication: it polls for a stop between stages.
    int32_t Execute(ICommunication* comm) override;
    void GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const;

    // Stage 3: ".vbs" hijacks of shell settings; learns the script's name.
    void RepairHijackedSettings();
    // Stage 4: the script's copies, streams and decoys on every drive root.
    void CleanDriveRoots();

protected:
    bool StopRequested();

    ICommunication* m_pComm = nullptr;
    int32_t m_nRemoved = 0;
    int32_t m_nRepaired = 0;
    std::wstring m_strScriptName;
};

class CKillerForFileFX : public CCommand {
public:
    CKillerForFileFX() = default;
    ~CKillerForFileFX() override = default;
    int32_t Execute(ICommunication* comm) override;
    void GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const;

protected:
    ICommunication* m_pComm = nullptr;
    int32_t m_nRemoved = 0;
    int32_t m_nRepaired = 0;
};

class CKillerForRegFX : public CCommand {
public:
    CKillerForRegFX() = default;
    ~CKillerForRegFX() override = default;
    int32_t Execute(ICommunication* comm) override;
    void GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const;

protected:
    ICommunication* m_pComm = nullptr;
    int32_t m_nRemoved = 0;
    int32_t m_nRepaired = 0;
};

// Registry values whose commands name missing files; each logs its repairs
// and returns 1.
int RepairHiddenFilesOption();
int RepairFolderOpenCommands();
int RepairWinlogon();
int RepairAutoRunPolicy();
int RepairWindowsLoad();
int RepairBrowserCommands();
int RepairFileAssociations();
int RunRegistryRepairs();

// Terminates every process whose image path contains `text` (any case).
void KillProcessesByPath(const wchar_t* text);
void ResetDriveHandlers();
// True when the key and its descendants are gone or never existed. `path`
// is a buffer of kRegistryPathChars characters the walk writes into.
constexpr size_t kRegistryPathChars = 520;
bool DeleteRegistryTree(HKEY root, wchar_t* path);
bool DeleteRegistryTree(HKEY root, const wchar_t* path);

int RestoreHiddenFolders();
int RemoveStaleAutorun();

// Drive roots ("C:\") of a GetLogicalDriveStringsW list read into a buffer
// of kDriveListChars characters; `returned` is the function's result. No
// root when the call failed or the list did not fit.
constexpr DWORD kDriveListChars = 100;
std::vector<std::wstring> ParseDriveList(const wchar_t* list, DWORD returned);
std::vector<std::wstring> ReadDriveList();
