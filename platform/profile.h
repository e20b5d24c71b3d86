// One key of one section of an INI-style profile file:
//
//   [section]
//   key = value
//
// Section and key names compare without regard to ASCII case; blanks and
// tabs around names and values are dropped, and one pair of matching
// double or single quotes around a value is removed. Lines starting with
// ';' or '#' are comments. The first matching key of the first matching
// section wins.
#ifndef PLATFORM_PROFILE_H
#define PLATFORM_PROFILE_H

#include <stddef.h>

// Copies the value of key in section of file into buf (size bytes with its
// terminator, cut to fit), or dflt when the file, the section or the key is
// missing (a NULL dflt counts as ""). Returns the bytes copied without the
// terminator; 0 and nothing written when size is 0.
size_t PlatProfileGetString(const char* section, const char* key, const char* dflt, char* buf, size_t size,
                            const char* file);

#endif
