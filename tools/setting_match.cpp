#include "tools/setting_match.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

std::string Folded(const std::string& text) {
    std::string folded;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        folded.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return folded;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The decimal number a text holds in full, or nothing.
std::optional<double> Number(const std::string& text) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The number an entry stands for, with the camera's decorations taken off: "f/8" -> 8,
// "ISO 3200" -> 3200, "4\"" (seconds) -> 4. Fractions ("1/250") are matched by their text.
std::optional<double> EntryNumber(const std::string& entry) {
    std::string text = Folded(entry);
    if (StartsWith(text, "f/")) text.erase(0, 2);
    if (StartsWith(text, "iso")) text.erase(0, 3);
    if (!text.empty() && (text.back() == '"' || text.back() == 's')) text.pop_back();
    return Number(text);
}

}  // namespace

const std::vector<SettingName>& ChangeableSettings() {
    static const std::vector<SettingName> kSettings = {
        {"aperture", "aperture", "apertureEntries", "apertureValue"},
        {"shutter", "shutter", "shutterEntries", "shutterValue"},
        {"iso", "isoSpeed", "isoEntries", "isoSpeedValue"},
        {"wb", "whiteBalance", "wbEntries", "wbValue"},
    };
    return kSettings;
}

const SettingName* FindSetting(const std::string& name) {
    for (const SettingName& setting : ChangeableSettings()) {
        if (name == setting.name) return &setting;
    }
    return nullptr;
}

std::optional<std::size_t> MatchSettingEntry(const std::vector<std::string>& entries,
                                             const std::string& wanted) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == wanted) return i;
    }
    const std::string folded = Folded(wanted);
    if (folded.empty()) return std::nullopt;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (Folded(entries[i]) == folded) return i;
    }
    const std::optional<double> number = Number(folded);
    if (!number) return std::nullopt;
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::optional<double> entry = EntryNumber(entries[i]);
        if (!entry || std::fabs(*entry - *number) > 1e-9 * std::max(1.0, std::fabs(*number))) {
            continue;
        }
        if (found) return std::nullopt;  // two entries with the same number: say which
        found = i;
    }
    return found;
}

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
                row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                                   diagonal + (word[i - 1] == candidate[j - 1] ? 0 : 1)});
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

std::string ValidUtf8(const std::string& text) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        }
        bool valid = length > 0 && i + length <= size;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char c = bytes[i + k];
            valid = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

