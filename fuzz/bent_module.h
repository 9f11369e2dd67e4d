// The camera module of the camera-side fuzzer: the simulated module, with the fuzzer's input
// between it and the process.
//
// The simulator behaves as real modules do, habits and faults included, and the session script
// switches those on through its control lines. What no tidy module does comes from the answer
// bytes, one byte per decision, here: any call may fail with any result; a value read may come
// back out of range, unterminated or absurd; a capability may be missing from the list or
// listed with another type; a file's block may be left out, given twice or claim another
// total; a completion may come twice; an event of the input's choosing arrives inside a
// camera's next call. Answer bytes that run out read as zero, and zero is always the
// simulator's own answer, so a short input is a well-behaved camera.
//
// What the fuzzer checks against is kept here too: the bytes of every block the process was
// handed, per data object, and the records the process has open.
//
// Deterministic and single-threaded on the caller's side; one module per process at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "camera/maid/maid.h"

namespace bentmodule {

// A new session with the simulated module file at `path` (loaded once, then reused), its
// scenario afresh, these answer bytes, nothing recorded. False when it cannot be loaded.
bool Start(const std::string& path, const std::uint8_t* answers, std::size_t size);
// From now on every answer is the simulator's own, and no twist stands (the camera behaves, so
// the session must settle).
void Calm();
// A line for the simulator's control (habits, faults, plugging, its clock); 0 when understood.
int Control(const std::string& line);
// A capability the cameras leave out of their lists (`retype` false) or list with another type.
void Twist(maid::ULONG capabilityId, bool retype);
// An event of the input's choosing, delivered at the next call addressed to a camera.
void QueueEvent(maid::ULONG event, maid::NKPARAM data);

maid::NKERROR EntryPoint(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                         maid::ULONG dataType, maid::NKPARAM data, maid::CompletionProc proc,
                         maid::NKREF ref);

// One data object's file as the process was handed it: the bytes, which of them some block
// gave, and the totals its blocks claimed.
struct File {
  std::vector<std::uint8_t> bytes;
  std::vector<bool> given;
  std::set<std::uint32_t> claimedTotals;
};
const std::deque<File>& Files();
// Calls the simulator saw with a record the process had already closed.
unsigned CallsAfterClose();
// Records the process has open, the module's among them.
std::size_t OpenRecords();
bool ModuleOpen();

}  // namespace bentmodule
