// Habits: the less tidy things a real camera module may do, each switched on per camera (in
// the scenario, `habits=a,b`, or by the control line `habit <name> on|off [<id>]`), so the
// camera layer can be run against the paths real cameras take. The README describes each.
#pragma once

#include <bitset>
#include <string>

namespace lbsim {

enum class Habit : unsigned {
  SyncComplete,           // a capture completes inside CapStart
  RefusedStart,           // CapStart refuses a capture and never completes it
  RefusedStartLate,       // CapStart refuses, then completes with an error on a later Async
  LateItems,              // a capture's items come after its completion, on later Asyncs
  NestedItems,            // the second file of a RAW+JPEG shot comes while the first transfers
  AsyncBusy,              // Async answers "still working" now and then
  EventsInCalls,          // setting-change events come inside CapGet and CapSet too
  AliveFalse,             // IsAlive reads false while the camera is still listed
  RaggedBlocks,           // blocks of any size, out of order, the file's end not sent last
  LvElements,             // live-view arrays of 2- or 4-byte elements
  LvBusy,                 // live view answers busy for a few reads after it is switched on
  SlowLink,               // blocks come at the camera's rate, as over USB 2.0
  CameraButton,           // the camera takes a shot by itself once it saves to the computer
  EnumOutOfRange,         // an enumeration's current index at or past its element count
  JpegFirst,              // a RAW+JPEG shot announces its JPEG before its RAW file
  LvOffBusy,              // the first switch-off of each live view answers busy
  OutOfFocus,             // CapStart takes a capture, whose completion then says out of focus
  BusyWhileTransferring,  // CapStart refuses a capture while one of the camera's files transfers
  BlockAPoll,  // every Async hands over one block of a transfer under way, as a fast link does
  RefusedSet,  // a setting's change is refused as busy, as by a body whose mode locks it
  Count
};

using HabitSet = std::bitset<static_cast<std::size_t>(Habit::Count)>;

// The name of `habit`, as the scenario and the control lines write it.
const char* HabitName(Habit habit);

// The habit named `name` ("sync-complete" ...); false for an unknown name.
bool ParseHabit(const std::string& name, Habit& habit);

// A comma-separated list of habit names; false (naming the bad one in `bad`) on an unknown one.
bool ParseHabitList(const std::string& list, HabitSet& habits, std::string& bad);

inline bool Has(const HabitSet& habits, Habit habit) {
  return habits.test(static_cast<std::size_t>(habit));
}

}  // namespace lbsim
