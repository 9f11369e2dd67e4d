// CShotPairing: which shot a camera's new capture item belongs to, so that the two files of a
// RAW+JPEG shot share one base name and files of different shots never do.
//
// A camera names the two files of one shot alike ("DSC_0001.NEF", "DSC_0001.JPG"), so an item
// joins the pair whose first file has its name stem and the other extension; a different stem
// never joins, whatever order the items come in or however many of them failed. Only for a
// camera that gives its items no names does the order decide: the item after a pair's first
// is its second. An item that cannot be opened is known only to have come: it closes a pair
// that was waiting for its second file; with no pair waiting it was the first file of a shot,
// and the item after it completes that shot.
//
// A pair whose other file was refused, failed or never came is "broken": its remaining file
// is announced without a sidecar, as it really turned out.
//
// Only the last few pairs are remembered, so memory stays flat over any number of shots.
//
// Threads: owned by its camera and used with the SDK lock held, like the camera.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "camera/download/capture_file_names.h"

class CShotPairing {
 public:
  // The shot of an item that opened. `cameraFileName` is the camera's own name of the item
  // (empty when it gives none); `hasSidecar` whether the item says it is one file of a
  // RAW+JPEG pair. A new shot takes its id from CCaptureFileNames.
  CaptureShotId placeItem(const std::string& cameraFileName, bool hasSidecar);

  // An item came that could not be opened: nothing of it is known but that it came.
  void itemRefused();

  // A file of `shot` will not arrive (its download failed).
  void fileLost(CaptureShotId shot);

  // Whether `shot` is a pair one of whose files was refused, failed or never came.
  bool pairBroken(CaptureShotId shot) const;

 private:
  struct Pair {
    CaptureShotId shot = 0;
    std::string stem;            // the camera's name stem of its files; empty when unnamed
    std::string firstExtension;  // of the file that opened the pair, upper case
    bool complete = false;       // both files have come (or one of them came refused)
    bool broken = false;         // a file of it was refused or lost
  };
  static constexpr std::size_t kRememberedPairs = 16;

  Pair* find(CaptureShotId shot);
  // The pair waiting for its second file by order (the last one opened), or null.
  Pair* waiting();
  Pair& open(const std::string& stem, const std::string& extension);

  std::deque<Pair> m_pairs;  // the last pairs, oldest first
  // An item was refused while no pair waited: the next item is the rest of that shot.
  bool m_refusedFirst = false;
};
