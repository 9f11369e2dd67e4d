// lbhost serve: keeps lensbridge.exe and a camera, or a rig of them, connected and serves a
// page to shoot from, until Ctrl+C.
//
// Threads: RunServe's caller becomes the camera thread, which alone drives lensbridge through
// CTetherSteps; a web thread of its own serves the pages. They share a CServeHub and nothing
// else.
#pragma once

#include <atomic>

#include "lbhost/core/file_ledger.h"
#include "lbhost/core/command_line.h"
#include "lbhost/core/run_report.h"

// Runs `step` (a serve step) and returns lbhost's exit code. `interrupted` is set by Ctrl+C;
// *ledger is pointed at the session's file ledger while one exists, for the console handler.
int RunServe(const LbhostOptions& options, const Step& step, CRunReport& report,
             const std::atomic<bool>& interrupted, std::atomic<const CFileLedger*>* ledger);
