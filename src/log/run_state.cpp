#include "log/run_state.h"

volatile int32_t RepairPerformed = 0;
volatile int32_t RestartRequired = 0;
volatile int32_t RepairFailed = 0;
volatile int32_t ScanLogUnsaved = 0;
volatile int32_t AwaitingRestart = 0;
