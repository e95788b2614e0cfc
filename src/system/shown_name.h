#ifndef UPGRADE_SYSTEM_SHOWN_NAME_H
#define UPGRADE_SYSTEM_SHOWN_NAME_H

// How a name the user gave on the command line (an image file, the record file) is shown on
// the console. A file name may hold any byte but '/' and NUL: a name with ESC ] ... in it would
// retitle the terminal, one with ESC [ 2 J would clear it, and a carriage return would let the
// rest of a name write over its start. So every control byte is shown in caret notation, as
// the receiver's text is.

#include <cstddef>

// Room for the shown form of any name the command line takes as an image file (up to 99
// bytes, each shown in at most two); a longer name (a record file's path) is cut to fit.
constexpr std::size_t shown_name_size = 256;

// Writes the shown form of `name` into `shown` (of `size` bytes, at least 1) and returns
// `shown`. Every control byte (0x00 to 0x1F, TAB, LF, CR and BS included: a name is one line)
// becomes '^' and the character 64 above it (ESC is "^[") and DEL becomes "^?"; every other
// byte stays as it is. A form that does not fit is cut, never a caret pair in half. A null
// `name` shows as an empty text.
const char* shown_name(const char* name, char* shown, std::size_t size);

#endif
