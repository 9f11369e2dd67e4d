// File names for downloaded pictures from a --filename pattern, such as
// "{camera}_{date}_{n}". Placeholders:
//   {date}    the shot's date, 2026-12-07        {time}  its local time, 184502
//   {n}       the shot's counter, 0001 ({n:2} gives two digits at least)
//   {camera}  the camera's name                  {name}  the camera's own file name, no extension
// The camera's extension (".jpg", ".nef") is always added, so both files of a RAW+JPEG shot get
// the same name before it. Characters Windows does not allow in names are replaced by '_'.
// Portable.
#pragma once

#include <string>

struct ShotNaming {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int counter = 1;
    std::string cameraName;
    std::string cameraFileName;  // "Capture0001.jpg"
};

// Empty when the pattern can be used, else why not ("unknown placeholder {foo}").
std::string CheckFileNamePattern(const std::string& pattern);

// The file name (with the camera's extension) for one file of a shot. The pattern must have
// passed CheckFileNamePattern.
std::string ExpandFileNamePattern(const std::string& pattern, const ShotNaming& shot);
