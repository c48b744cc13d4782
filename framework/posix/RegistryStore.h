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
// them, and a key is written only when nothing below it implies it (it holds values or has no
// subkeys), so the file grows with the paths given, not with their depth squared. In quoted
// texts \\, \" and \xHH (for control characters) are the only escapes. Anything else is a
// corrupt hive (ERROR_BADDB), except a key line beyond the path limits below: that key and its
// values are skipped (the rest of the hive reads, the next change drops them) and Parse names
// the line in its notes.
//
// Path limits, as the Windows registry has them: at most kMaxKeyDepth components, each at
// most kMaxKeyPartBytes bytes. A hive holds at most kMaxKeys keys (a few hundred bytes of
// memory each; a real hive holds dozens): a key line that would pass that is skipped the same
// way. Parsing and writing cost time and memory in proportion to the file (times the
// logarithm of a key's number of subkeys or values), and never more than the key limit allows.
#pragma once

#include "Registry.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace regstore {

constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxKeyPartBytes = 255;
constexpr size_t kMaxKeys = 100000;

struct Value {
    std::string name; // as first set; "" is the default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

// One key of the tree: a node owns its subkeys.
struct Key {
    std::string name;          // this component, in the case it was created with
    std::vector<Value> values; // in the order they were first set
    std::map<std::string, std::unique_ptr<Key>> subkeys; // by folded name
};

// Why a path is beyond the limits ("deeper than 512 levels", ...), or nullptr when it is not.
// Looks at the text only: no allocation.
const char* PathLimitProblem(const std::string& path);
// Splits a key path into its components: false for an empty path, an empty component, a
// control character or a path beyond the limits (ERROR_BAD_PATHNAME).
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
    // Whether creating the key (and its missing parents) keeps the hive within kMaxKeys.
    bool HasRoomFor(const std::vector<std::string>& components) const;
    // Creates the key and its missing parents; true when anything was created. The caller
    // checks HasRoomFor first.
    bool CreateKey(const std::vector<std::string>& components);
    // Sets a value of an existing key; true when the stored type or data changed.
    static bool SetValue(Key* key, const std::string& name, DWORD type, const BYTE* data,
                         size_t cb);
    // Removes the key and everything below it; false when it did not exist.
    bool DeleteTree(const std::string& path);
    // Display names of the immediate subkeys of an existing key (of the root for "").
    std::vector<std::string> Subkeys(const std::string& path) const;

    // Replaces the contents with a parsed file; false with "line N: what" in *problem. Lines
    // skipped for the path limits are named in *notes ("line N: key skipped: why"), when given.
    bool Parse(const std::string& text, std::string* problem,
               std::vector<std::string>* notes = nullptr);
    std::string Serialize() const;

private:
    Key m_Root;         // holds no values; its subkeys are the top-level keys
    size_t m_cKeys = 0; // below the root
};

// Where a hive lives: <store>/classes, <store>/user, <store>/machine; empty when the store has
// no folder (no home folder known).
std::string HiveFolder(RegHive hive);
std::string HiveFile(RegHive hive);

// Reads the hive without a lock (files are replaced whole, never rewritten in place). A
// missing file is an empty hive; an unparsable one gives ERROR_BADDB with the reason in
// *problem. A hive that reads but had lines skipped gives ERROR_SUCCESS and the first skipped
// line in *problem ("<file>:<line>: key skipped: why").
LONG ReadHive(RegHive hive, CHive* out, std::string* problem = nullptr);
// ERROR_SUCCESS when changes to the hive are allowed, else ERROR_ACCESS_DENIED.
LONG CheckWritable(RegHive hive);
// One locked read-modify-write: change() edits the hive and reports through *changed whether
// it needs writing back; its result is returned (the file is written only on ERROR_SUCCESS).
LONG ModifyHive(RegHive hive, const std::function<LONG(CHive& hive, bool* changed)>& change);

} // namespace regstore
