// Win32 error codes as people read them: "the system cannot find the path specified (error 3)".
#pragma once

#include <string>

// The system's own text for `code`, without its trailing period and line break, followed by
// the number; the number alone when the system has no text for it.
std::string Win32ErrorText(unsigned long code);
