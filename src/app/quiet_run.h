#pragma once
// "CFRepair.exe /repair /quiet": the window's repair run with no window, no
// question and no restart offer; the outcome is the exit code.

#include "app/launch_options.h"

int RunQuietRepair(const LaunchOptions& options);
