// Call time stamps and the file-name form of them.
#pragma once

#include <ctime>
#include <string>

// The date in the locale's short date format, "_", and the time in its long time format
// (strftime %x and %X under the process locale, local time zone).
std::string FormatCallStamp(std::time_t time);

// Every character replaced by its code as two upper-case hexadecimal digits, in order:
// "8/12/26_9:05:01" gives "382F31322F32365F393A30353A3031". The result is a safe file name
// whatever the date and time formats hold.
std::string TextToHex(const std::string& text);
