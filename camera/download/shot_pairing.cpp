#include "camera/download/shot_pairing.h"

#include <cctype>

#include "platform/free_name.h"

namespace {

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

CaptureShotId CShotPairing::placeItem(const std::string& cameraFileName, bool hasSidecar) {
  std::string stem;
  std::string extension;
  platform::SplitExtension(cameraFileName, stem, extension);
  extension = UpperCase(extension);
  const bool refusedFirst = m_refusedFirst;
  m_refusedFirst = false;

  if (!hasSidecar) {
    // A single file ends any pair that waits by order: its second can no longer come next.
    if (Pair* pair = waiting()) pair->complete = true;
    return CCaptureFileNames::instance().newShot();
  }
  if (!stem.empty()) {
    for (auto pair = m_pairs.rbegin(); pair != m_pairs.rend(); ++pair) {
      if (!pair->complete && pair->stem == stem && pair->firstExtension != extension) {
        pair->complete = true;
        return pair->shot;
      }
    }
  } else if (Pair* pair = waiting()) {
    pair->complete = true;
    return pair->shot;
  }
  Pair& pair = open(stem, extension);
  if (refusedFirst) {
    // The refused item was this file's partner. A named pair stays open to its own stem, in
    // case the refused item was something else after all; an unnamed one is done.
    pair.broken = true;
    if (stem.empty()) pair.complete = true;
  }
  return pair.shot;
}

void CShotPairing::itemRefused() {
  // Items of one shot come one after the other, so a refused item right after a pair's first
  // file is that pair's second.
  if (!m_pairs.empty() && !m_pairs.back().complete) {
    m_pairs.back().complete = true;
    m_pairs.back().broken = true;
    return;
  }
  m_refusedFirst = true;
}

void CShotPairing::fileLost(CaptureShotId shot) {
  if (Pair* pair = find(shot)) pair->broken = true;
}

bool CShotPairing::pairBroken(CaptureShotId shot) const {
  for (const Pair& pair : m_pairs) {
    if (pair.shot == shot) return pair.broken;
  }
  return false;
}

CShotPairing::Pair* CShotPairing::find(CaptureShotId shot) {
  for (Pair& pair : m_pairs) {
    if (pair.shot == shot) return &pair;
  }
  return nullptr;
}

CShotPairing::Pair* CShotPairing::waiting() {
  if (m_pairs.empty()) return nullptr;
  Pair& last = m_pairs.back();
  return !last.complete && last.stem.empty() ? &last : nullptr;
}

CShotPairing::Pair& CShotPairing::open(const std::string& stem, const std::string& extension) {
  while (m_pairs.size() >= kRememberedPairs) m_pairs.pop_front();
  Pair pair;
  pair.shot = CCaptureFileNames::instance().newShot();
  pair.stem = stem;
  pair.firstExtension = extension;
  m_pairs.push_back(pair);
  return m_pairs.back();
}
