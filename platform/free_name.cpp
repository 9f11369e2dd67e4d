#include "platform/free_name.h"

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {
// Every session leaves its files in the folder, so "-10" and beyond are ordinary after a few
// weeks of use.
constexpr int kNumberedSuffixes = 10000;
constexpr int kMadeUpSuffixes = 64;
}  // namespace

std::string FirstFreeStem(const std::string& stem, int first,
                          const std::function<bool(const std::string&)>& isFree) {
  if (isFree(stem)) return stem;
  for (int i = 0; i < kNumberedSuffixes; ++i) {
    const std::string attempt = stem + "-" + std::to_string(first + i);
    if (isFree(attempt)) return attempt;
  }
  const std::uint32_t seed = tickCountMs() * 2654435761u;
  for (std::uint32_t i = 0; i < kMadeUpSuffixes; ++i) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08X", static_cast<unsigned>(seed + i * 0x9E3779B9u));
    if (isFree(stem + suffix)) return stem + suffix;
  }
  return std::string();
}

}  // namespace platform
