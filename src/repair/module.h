#pragma once
// The repair-module interface and the one concrete module, which restores
// the game's modules and carries the system-file repair.

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

class ICommunication;

class IModuleKillClient {
public:
    virtual int SetContext(intptr_t value) = 0;
    virtual int Scan() = 0;
    virtual int Repair() = 0;
    virtual int RepairSystemFiles() = 0;
    virtual int IsEnabled() = 0;

protected:
    ~IModuleKillClient() = default;  // destroyed through the concrete type
};

// Do-nothing defaults, so a module overrides only what it does.
class IModuleKillClientNull : public IModuleKillClient {
public:
    int SetContext(intptr_t value) override;
    int Scan() override;
    int Repair() override;
    int RepairSystemFiles() override;
    int IsEnabled() override;

protected:
    ~IModuleKillClientNull() = default;
    intptr_t m_context = 0;
};

struct SystemFileEntry {
    std::wstring targetPath;      // system folder + name
    std::wstring expectedDigest;  // 32 lower-case hex digits
};

class CKillSysFileFix : public IModuleKillClientNull {
public:
    CKillSysFileFix() = default;
    ~CKillSysFileFix() = default;

    int Scan() override;
    int Repair() override;
    int RepairSystemFiles() override;

    // Finds the game folder, asks for consent and restores the eight modules;
    // `comm`, when given, can stop it.
    static int RepairGame(ICommunication* comm = nullptr);

    std::vector<SystemFileEntry> m_systemFiles;
    std::unordered_set<std::wstring> m_hijackPaths;

    // Fills m_systemFiles from the digest database; 1 when the list is not empty.
    int BuildSystemFileList();
    // Collects planted system-file names in run programs' folders; 1 on a hit.
    static int ScanSearchPathHijacks(std::unordered_set<std::wstring>& paths);
    // Backs up and removes every file of m_hijackPaths.
    void RemoveSearchPathHijacks();

    // Server root (scheme, host, port) and database file; empty selects the
    // defaults of system_files.h.
    void SetFileServerUrl(const wchar_t* url);
    void SetDigestDatabasePath(const wchar_t* path);
    std::wstring m_fileServerUrl;
    std::wstring m_digestDatabasePath;
};
