// How much memory another process of our Wine prefix holds, which Wine's process memory
// counters do not say: the benchmark's memory figures.
#pragma once

// Under Wine, the resident size in MB of the Linux process whose command is `name` (such as
// "lensbridge.exe") and that runs in our own Wine prefix, read through drive Z:. 0 when there
// is no such process or not under Wine.
double WineResidentMegabytes(const char* name);
