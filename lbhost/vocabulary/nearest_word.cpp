#include "lbhost/vocabulary/nearest_word.h"

#include <algorithm>

std::string NearestWord(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  // Option dashes are no letters: "--count" is not two edits from "--out".
  const std::size_t dashes = std::min(word.find_first_not_of('-'), word.size());
  std::size_t bestDistance = std::max<std::size_t>(1, (word.size() - dashes) / 3) + 1;
  for (const std::string& candidate : candidates) {
    // Levenshtein distance over one row.
    std::vector<std::size_t> row(candidate.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= word.size(); ++i) {
      std::size_t diagonal = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= candidate.size(); ++j) {
        const std::size_t above = row[j];
        row[j] = std::min(
            {row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == candidate[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    if (row.back() < bestDistance) {
      bestDistance = row.back();
      best = candidate;
    }
  }
  return best;
}
