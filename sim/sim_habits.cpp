#include "sim/sim_habits.h"

#include <cstring>

namespace lbsim {

namespace {

constexpr const char* kNames[] = {
    "sync-complete",   "refused-start",     "refused-start-late",
    "late-items",      "nested-items",      "async-busy",
    "events-in-calls", "alive-false",       "ragged-blocks",
    "lv-elements",     "lv-busy",           "slow-link",
    "camera-button",   "enum-out-of-range", "jpeg-first",
    "lv-off-busy",     "out-of-focus",      "busy-while-transferring",
    "block-a-poll",    "refused-set",
};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(Habit::Count),
              "every habit has a name");

}  // namespace

const char* HabitName(Habit habit) {
  return habit < Habit::Count ? kNames[static_cast<std::size_t>(habit)] : "";
}

bool ParseHabit(const std::string& name, Habit& habit) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(Habit::Count); ++i) {
    if (name == kNames[i]) {
      habit = static_cast<Habit>(i);
      return true;
    }
  }
  return false;
}

bool ParseHabitList(const std::string& list, HabitSet& habits, std::string& bad) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string name = list.substr(start, comma - start);
    Habit habit;
    if (!ParseHabit(name, habit)) {
      bad = name;
      return false;
    }
    habits.set(static_cast<std::size_t>(habit));
    start = comma + 1;
  }
  return true;
}

}  // namespace lbsim
