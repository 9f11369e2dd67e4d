// The word a photographer most likely meant, for "did you mean" hints. Portable.
#pragma once

#include <string>
#include <vector>

// The candidate nearest to `word` by edit distance when it is close enough to be a typo
// (at most a third of its letters, leading dashes not counted, and at least one
// edit allowed), else empty.
std::string NearestWord(const std::string& word, const std::vector<std::string>& candidates);
