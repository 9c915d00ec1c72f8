// Text helpers of the runtime layer: strict integer conversion and printf-style formatting.
#pragma once

#include <cstdint>
#include <string>

// An optional sign and decimal digits in the 32-bit range, nothing else (no blanks, no hex);
// anything else raises EConvertError "'<text>' is not a valid integer value".
int StrToInt(const std::string& text);

// As StrToInt, but returns defaultValue instead of raising.
int StrToIntDef(const std::string& text, int defaultValue);

// Parses like StrToInt; false when the text is not a valid integer.
bool TryStrToInt(const std::string& text, int& value);

std::string IntToStr(int64_t value);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string UpperCase(std::string text);
std::string LowerCase(std::string text);
bool SameText(const std::string& a, const std::string& b);
std::string Trim(const std::string& text);
// Line breaks turned into blanks: a message of several lines as one log line or file field.
std::string OneLine(std::string text);
