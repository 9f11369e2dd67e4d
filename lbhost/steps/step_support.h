// What the files of CTetherSteps share: time and the folders files are saved in.
// Win32; not for use outside lbhost/steps/.
#pragma once

#include <chrono>
#include <string>

#include "lbhost/core/result.h"

namespace step_support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The pause before the first progress line of a wait, and between the next ones.
constexpr milliseconds kFirstProgress{1000};
constexpr milliseconds kProgressEvery{2000};

inline long long MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

inline Clock::time_point SecondsFromNow(double seconds) {
  return Clock::now() + milliseconds(static_cast<long long>(seconds * 1000));
}

// "2.5 s".
std::string Seconds(double seconds);

// Makes `folder` and the folders above it that are missing.
Status MakeFolder(const std::string& folder);

// `folder\name`, or with "-1", "-2", ... before the extension when that is taken: a picture
// never replaces another. Empty when no name is free.
std::string FreePath(const std::string& folder, const std::string& name);

}  // namespace step_support
