// A registry key saved whole, so that the kit can put back exactly what the tests
// change on a person's own machine: whether the key exists, every subkey, and every
// value with its type and bytes.
#ifndef DUSTMARROW_TESTS_KIT_SAVED_KEY_H
#define DUSTMARROW_TESTS_KIT_SAVED_KEY_H

#include <windows.h>

#include <string>

// The key as text: "absent", or a line per key and per value, with names and data in
// hex so that any name and any bytes come through. False, with the error in `copy`,
// when some part of it cannot be read.
bool SaveKey(HKEY root, const std::wstring &path, std::string &copy);

// Makes the key what `copy` says: deletes it whole, then creates every key and value
// that was there. True when the key then reads back as the copy.
bool PutBackKey(HKEY root, const std::wstring &path, const std::string &copy);

// Deletes a key with everything below it; a missing key is no error.
LONG DeleteKeyTree(HKEY root, const std::wstring &path);

#endif
