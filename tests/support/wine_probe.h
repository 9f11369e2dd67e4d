// What the tests and benchmarks ask of Wine, which lbhost.exe never needs: whether this
// process runs under it.
#pragma once

// True when this process runs under Wine, which exports wine_get_version from ntdll.
bool IsRunningUnderWine();
