// What the tests and benchmarks ask of Wine, which lbhost.exe never needs: whether this
// process runs under it, and how much memory another process of our prefix holds.
#pragma once

// True when this process runs under Wine, which exports wine_get_version from ntdll.
bool IsRunningUnderWine();

// Under Wine, the resident size in MB of the Linux process whose command is `name` (such as
// "lensbridge.exe") and that runs in our own Wine prefix, read through drive Z:, since Wine's
// process memory counters say nothing about another process. 0 when there is no such process
// or not under Wine.
double WineResidentMegabytes(const char* name);
