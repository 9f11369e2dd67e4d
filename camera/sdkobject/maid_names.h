// Published names of the SDK's commands, capabilities, results and events, for traces.
//
// Each table is a fixed array of {id, name} ending with the entry {0, nullptr}. A lookup that
// finds no entry formats "<unknown value: %d>" into one process-wide 50-byte buffer and returns
// it; that text stays valid only until the next lookup that misses, so use it at once.
//
// Threads: the fallback buffer is not locked; lookups run only on threads holding the SDK lock.
#pragma once

#include <cstddef>
#include <cstdint>

struct MaidNameEntry {
  std::int32_t id;
  const char* name;  // null only in the end entry
};

// The tables, each followed by its end entry; the counts exclude the end entry.
extern const MaidNameEntry g_maidCommandNames[];
extern const MaidNameEntry g_maidCapabilityNames[];
extern const MaidNameEntry g_maidResultNames[];
extern const MaidNameEntry g_maidEventNames[];
extern const std::size_t g_maidCommandNameCount;
extern const std::size_t g_maidCapabilityNameCount;
extern const std::size_t g_maidResultNameCount;
extern const std::size_t g_maidEventNameCount;

// The name of `id` in `table`. Each entry's id is compared before the end entry stops the walk,
// so a key of 0 matching the end entry answers null (CapabilityName(0) is null). Any other miss
// answers the shared fallback text.
const char* MaidName(const MaidNameEntry* table, std::int32_t id);

const char* CommandName(std::uint32_t id);
const char* CapabilityName(std::uint32_t id);
const char* ResultName(std::int32_t id);
const char* EventName(std::uint32_t id);
