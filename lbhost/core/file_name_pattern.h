// File names for downloaded pictures from a --filename pattern, such as
// "{date}/{camera}_{n}". Placeholders:
//   {date}    the shot's date, 2026-12-07        {time}  its local time, 184502
//   {date:F}, {time:F}  the date or time in the clock codes below ({date:%Y%m%d})
//   {n}       the shot's counter, 0001 ({n:2} gives two digits at least)
//   {camera}  the camera's name                  {name}  the camera's own file name, no extension
// gphoto2's codes mean what they mean there: %n (%03n) the counter, %f the camera's file name
// without extension, %C its extension, %: the whole file name, %% a percent sign, and the clock
// codes %Y %y %m %d %H %M %S %j %a %A %b %B %I %p %k %l. Any other code is refused, never taken
// literally. '/' or '\' separates folders.
// The camera's extension (".jpg", ".nef") is added unless the pattern has %C or %:, so both
// files of a RAW+JPEG shot get the same name before it. Characters Windows does not allow in
// names are replaced by '_' in what the placeholders give.
// Portable.
#pragma once

#include <string>
#include <vector>

struct ShotNaming {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int counter = 1;
  std::string cameraName;
  std::string cameraFileName;  // the camera's own name, "DSC_0001.NEF"
  // The downloaded file's extension (".nef"), which the saved file keeps; empty: the
  // camera's own.
  std::string fileExtension;
};

// Empty when the pattern can be used, else why not ("unknown placeholder {foo}").
std::string CheckFileNamePattern(const std::string& pattern);

// The path, relative to the target folder, with '\' between folders and the camera's
// extension, for one file of a shot. The pattern must have passed CheckFileNamePattern.
std::string ExpandFileNamePattern(const std::string& pattern, const ShotNaming& shot);

// True when the pattern has a counter ({n} or %n).
bool PatternHasCounter(const std::string& pattern);
// How many folders deep the pattern's files lie (0 for a plain name).
int PatternFolderDepth(const std::string& pattern);
// The highest counter that the pattern could have given one of `paths` (relative, '\' or '/'
// between folders) for the camera `cameraName`; 0 when none of them fits the pattern.
long long HighestCounter(const std::string& pattern, const std::string& cameraName,
                         const std::vector<std::string>& paths);
