#pragma once

#include <cstdint>

// Reads one value of a private-profile (INI) file, with the behaviour of Win32
// GetPrivateProfileString as far as the filter relies on it. On Windows it is the wide call
// (every text here UTF-8, the cut made at a character's start); on other systems an own reader
// with the same published behaviour:
//
// - "[name]" lines open a section; "key=value" lines belong to the section above them; lines
//   whose first non-blank character is ';' are comments; lines before the first section, lines
//   without '=' and malformed section lines are ignored. LF, CRLF and CR line ends all work, and
//   a UTF-8 byte-order mark at the start is skipped.
// - Section and key names are compared without regard to (ASCII) case, with surrounding blanks
//   dropped on both sides.
// - Blanks around a value are dropped. A value enclosed in a matching pair of double or single
//   quotes loses the pair; blanks inside the quotes are kept.
// - Only the first section of a given name is searched, and within it the first matching key
//   wins.
// - A key present with an empty value gives the empty string, not the default.
// - A missing file, section or key gives `defaultText` (null means ""), without its trailing
//   spaces. So does a file that cannot be read (a directory, a device, a FIFO, no permission).
//   The own reader also takes a file larger than 1 MiB as unreadable: a settings file is a few
//   hundred bytes, and the reader runs on the streaming thread, which must never stall on a
//   huge or endless file.
// - `section`, `key` and `path` must not be null (the platform call would list names instead);
//   the own reader answers a null one with the default.
// - The text is cut to `bufferSize` - 1 characters and always zero-terminated when
//   `bufferSize` > 0. A null `buffer` or `bufferSize` 0 copies nothing and returns 0.
//
// Returns the number of characters copied, without the terminating zero. The file is opened
// and parsed on every call; nothing is cached and nothing is ever written. Throws nothing; safe
// to call from any thread.
uint32_t ReadProfileString(const char* section, const char* key, const char* defaultText,
                           char* buffer, uint32_t bufferSize, const char* path);
