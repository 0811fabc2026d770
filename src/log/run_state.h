#pragma once
// Values that a repair run shares with the window that started it.

#include <cstdint>

// Repair work asks through this whether the user pressed stop.
class ICommunication {
public:
    virtual bool IsStopRequested() = 0;

protected:
    ~ICommunication() = default;
};

// 1 when the last run replaced a file or scheduled its replacement.
extern volatile int32_t RepairPerformed;
// 1 when a file of the last run could not be repaired; repair parts set it,
// only the start of a run clears it.
extern volatile int32_t RepairFailed;
// 1 when a file replacement was deferred to the next boot; repair parts set
// it, only the start of a run clears it.
extern volatile int32_t RestartRequired;
// 1 when the last run's record could not be written to the scan log; the
// start of a run clears it.
extern volatile int32_t ScanLogUnsaved;
// 1 when a file was left alone because a boot-time move onto it is still
// pending: the user must restart first. Only the start of a run clears it.
extern volatile int32_t AwaitingRestart;
