#include "repair/module.h"

int IModuleKillClientNull::SetContext(intptr_t value)
{
    m_context = value;
    return 1;
}

int IModuleKillClientNull::Scan() { return 0; }
int IModuleKillClientNull::Repair() { return 0; }
int IModuleKillClientNull::RepairSystemFiles() { return 0; }
int IModuleKillClientNull::IsEnabled() { return 1; }

int CKillSysFileFix::Scan() { return 0; }

int CKillSysFileFix::Repair()
{
    RepairGame();
    return 0;
}
