// The native registry store behind Registry.h: the in-memory model of one hive, its text file,
// and the locked read-modify-write of that file.
//
// Hive file format (UTF-8 text, one hive per file):
//
//   VELOMIX REGISTRY 1
//   ; comment lines and blank lines are ignored
//   [CLSID\{43FF79DC-A363-4DA5-AD5C-2137A9343451}]
//   @="Velomix"                          default value, REG_SZ
//   "ThreadingModel"="Both"              REG_SZ with one terminating zero and no other
//   "Count"=dword:0000000a               REG_DWORD of four bytes
//   "FilterData"=hex:02,00,00,00         REG_BINARY
//   "Odd"=hex(1):41,00,42,00             any other type or data, bytes as stored
//
// Key lines carry the full path below the hive; a key listed without its parents implies
// them. In quoted texts \\, \" and \xHH (for control characters) are the only escapes.
// Anything else is a corrupt hive (ERROR_BADDB).
#pragma once

#include "Registry.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace regstore {

struct Value {
    std::string name; // as first set; "" is the default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct Key {
    std::string path;          // components in the case they were created with
    std::vector<Value> values; // in the order they were first set
};

// Splits a key path into its components: false for an empty path, an empty component or a
// control character (ERROR_BAD_PATHNAME).
bool SplitPath(const std::string& path, std::vector<std::string>* components);
// The lookup form of a name or path: ASCII letters in lower case.
std::string Fold(const std::string& text);
// Wide text as the store keeps it: UTF-8 (wchar_t holds UTF-32 here); code points that are
// not characters (surrogates, beyond U+10FFFF) become U+FFFD.
std::string Utf8(const WCHAR* text);

class CHive {
public:
    const Key* Find(const std::string& path) const;
    Key* Find(const std::string& path);
    // Creates the key and its missing parents; true when anything was created.
    bool CreateKey(const std::vector<std::string>& components);
    // Sets a value of an existing key; true when the stored type or data changed.
    static bool SetValue(Key* key, const std::string& name, DWORD type, const BYTE* data,
                         size_t cb);
    // Removes the key and everything below it; false when it did not exist.
    bool DeleteTree(const std::string& path);
    // Display names of the immediate subkeys of an existing key (of the root for "").
    std::vector<std::string> Subkeys(const std::string& path) const;

    // Replaces the contents with a parsed file; false with "line N: what" in *problem.
    bool Parse(const std::string& text, std::string* problem);
    std::string Serialize() const;

private:
    std::map<std::string, Key> m_Keys; // by folded path
};

// Where a hive lives: <store>/classes, <store>/user, <store>/machine; empty when the store has
// no folder (no home folder known).
std::string HiveFolder(RegHive hive);
std::string HiveFile(RegHive hive);

// Reads the hive without a lock (files are replaced whole, never rewritten in place). A
// missing file is an empty hive; an unparsable one gives ERROR_BADDB.
LONG ReadHive(RegHive hive, CHive* out, std::string* problem = nullptr);
// ERROR_SUCCESS when changes to the hive are allowed, else ERROR_ACCESS_DENIED.
LONG CheckWritable(RegHive hive);
// One locked read-modify-write: change() edits the hive and reports through *changed whether
// it needs writing back; its result is returned (the file is written only on ERROR_SUCCESS).
LONG ModifyHive(RegHive hive, const std::function<LONG(CHive& hive, bool* changed)>& change);

} // namespace regstore
