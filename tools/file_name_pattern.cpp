#include "tools/file_name_pattern.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool ForbiddenInName(char c) {
    return static_cast<unsigned char>(c) < 0x20 || std::string("<>:\"/\\|?*").find(c) != std::string::npos;
}

std::string SafeName(std::string text) {
    for (char& c : text) {
        if (ForbiddenInName(c)) c = '_';
    }
    return text;
}

std::string Padded(int value, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
    return buffer;
}

// Calls `placeholder(name, width)` for each {…} and `literal(text)` for the text between;
// false (with *error) on a malformed or unknown placeholder.
template <typename Literal, typename Placeholder>
bool Walk(const std::string& pattern, Literal literal, Placeholder placeholder,
          std::string* error) {
    for (std::size_t i = 0; i < pattern.size();) {
        const std::size_t open = pattern.find('{', i);
        if (open == std::string::npos) {
            literal(pattern.substr(i));
            break;
        }
        literal(pattern.substr(i, open - i));
        const std::size_t close = pattern.find('}', open);
        if (close == std::string::npos) {
            *error = "a '{' without its '}'";
            return false;
        }
        std::string name = pattern.substr(open + 1, close - open - 1);
        int width = 0;
        const std::size_t colon = name.find(':');
        if (colon != std::string::npos) {
            const std::string digits = name.substr(colon + 1);
            name.resize(colon);
            char* end = nullptr;
            const long parsed = std::strtol(digits.c_str(), &end, 10);
            if (name != "n" || digits.empty() || *end != '\0' || parsed < 1 || parsed > 9) {
                *error = "bad placeholder {" + pattern.substr(open + 1, close - open - 1) +
                         "} (only {n:W}, W from 1 to 9, takes a width)";
                return false;
            }
            width = static_cast<int>(parsed);
        }
        if (name != "date" && name != "time" && name != "n" && name != "camera" &&
            name != "name") {
            *error = "unknown placeholder {" + name +
                     "} (known: {date} {time} {n} {n:W} {camera} {name})";
            return false;
        }
        placeholder(name, width);
        i = close + 1;
    }
    return true;
}

}  // namespace

std::string CheckFileNamePattern(const std::string& pattern) {
    if (pattern.empty()) return "the pattern is empty";
    std::string error;
    std::string literals;
    bool any = false;
    if (!Walk(pattern, [&](const std::string& text) { literals += text; },
              [&](const std::string&, int) { any = true; }, &error)) {
        return error;
    }
    for (char c : literals) {
        if (ForbiddenInName(c)) {
            return std::string("'") + c + "' cannot be part of a file name (the folder goes in --out)";
        }
    }
    if (!any && literals.empty()) return "the pattern gives an empty name";
    if (literals == "." || literals == "..") return "the pattern gives no file name";
    return std::string();
}

std::string ExpandFileNamePattern(const std::string& pattern, const ShotNaming& shot) {
    const std::size_t dot = shot.cameraFileName.find_last_of('.');
    const std::string stem =
        dot == std::string::npos ? shot.cameraFileName : shot.cameraFileName.substr(0, dot);
    const std::string extension =
        dot == std::string::npos ? std::string() : shot.cameraFileName.substr(dot);
    std::string name;
    std::string error;
    Walk(pattern, [&](const std::string& text) { name += text; },
         [&](const std::string& placeholder, int width) {
             if (placeholder == "date") {
                 name += Padded(shot.year, 4) + "-" + Padded(shot.month, 2) + "-" +
                         Padded(shot.day, 2);
             } else if (placeholder == "time") {
                 name += Padded(shot.hour, 2) + Padded(shot.minute, 2) + Padded(shot.second, 2);
             } else if (placeholder == "n") {
                 name += Padded(shot.counter, width ? width : 4);
             } else if (placeholder == "camera") {
                 name += SafeName(shot.cameraName);
             } else {
                 name += SafeName(stem);
             }
         },
         &error);
    return name + SafeName(extension);
}
