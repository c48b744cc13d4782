// The registry operations that registration needs, over one interface on both builds.
//
// Windows: the Win32 registry through its wide calls (RegCreateKeyExW, RegSetValueExW, ...):
// key paths, value names and text are UTF-8 here, UTF-16 in the registry; text that is not
// UTF-8 (or, read back, not UTF-16) fails with ERROR_NO_UNICODE_TRANSLATION.
//
// Elsewhere: a file-backed store in a per-user folder that keeps the same hives, key paths,
// value names, types and data. The folder is $VELOMIX_REGISTRY_DIR when that is an absolute
// path, else ${XDG_DATA_HOME:-$HOME/.local/share}/velomix/registry. Each hive is one text file
// in a folder of its own: classes/ (HKEY_CLASSES_ROOT), user/ (HKEY_CURRENT_USER), machine/
// (HKEY_LOCAL_MACHINE). The three are independent hives: HKEY_CLASSES_ROOT is not a merged view
// of the other two. A hive whose folder carries no write permission (owner write bit cleared,
// or not writable for this process) refuses every change with ERROR_ACCESS_DENIED, also for
// root; reading it still works. Every change is one locked read-modify-write of the hive file
// (an exclusive lock on a lock file beside it, so writers in any number of threads and
// processes serialise) that ends by renaming a complete new file over the old one: a reader
// never sees a half-written hive, and a writer that dies leaves the previous hive intact. A
// hive file that cannot be parsed makes every operation on that hive fail with ERROR_BADDB;
// RegStoreProblem() says where. A key path is at most 512 levels deep with parts of at most
// 255 bytes (ERROR_BAD_PATHNAME beyond), and a hive holds at most 100000 keys
// (ERROR_REGISTRY_QUOTA_LIMIT for a key past that); a key line beyond these limits in a hive
// file is skipped with its values, the rest of the hive stays usable, and RegStoreProblem()
// names the line.
//
// On both builds: key paths are relative to the hive, components separated by '\', compared
// without regard to ASCII case and kept in the case they were created with; value names
// likewise, the empty name being the key's default value. Results are Win32 error numbers
// (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...). Every call is safe from any
// thread and throws nothing.
#pragma once

#include "com.h"

#include <memory>
#include <string>
#include <vector>

// Win32 error numbers the store answers with (the SDK defines them on Windows).
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6L
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8L
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87L
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122L
#endif
#ifndef ERROR_REGISTRY_QUOTA_LIMIT
#define ERROR_REGISTRY_QUOTA_LIMIT 613L
#endif
#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif
#ifndef ERROR_BADDB
#define ERROR_BADDB 1009L
#endif
#ifndef ERROR_CANTREAD
#define ERROR_CANTREAD 1012L
#endif
#ifndef ERROR_CANTWRITE
#define ERROR_CANTWRITE 1013L
#endif
#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

enum class RegHive { ClassesRoot, CurrentUser, LocalMachine };

// Value types (the published REG_* numbers).
enum RegValueType : DWORD { kRegSz = 1, kRegBinary = 3, kRegDword = 4 };

// An open registry key; owns its handle and closes it on destruction. Move-only.
class CRegKey {
public:
    CRegKey() noexcept;
    ~CRegKey();
    CRegKey(CRegKey&& other) noexcept;
    CRegKey& operator=(CRegKey&& other) noexcept;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Creates path (and its missing parents) or opens it when it exists, with full access
    // (RegCreateKeyExA, non-volatile, KEY_ALL_ACCESS). Closes what was open before.
    LONG Create(RegHive hive, const std::string& path) noexcept;
    // Opens an existing key for writing (KEY_WRITE): ERROR_FILE_NOT_FOUND when it is missing,
    // ERROR_ACCESS_DENIED when the hive may not be changed.
    LONG OpenForWrite(RegHive hive, const std::string& path) noexcept;
    // Opens an existing key for reading (KEY_READ); an empty path opens the hive's root, to
    // enumerate its top-level keys.
    LONG OpenForRead(RegHive hive, const std::string& path) noexcept;
    void Close() noexcept;
    bool IsOpen() const noexcept;
    // The value and enumeration calls below answer ERROR_INVALID_HANDLE on a closed key.

    // Sets a REG_SZ value from text: natively the bytes of text and its terminating zero; on
    // Windows text is UTF-8 and the value its UTF-16 form (RegSetValueExW). An empty name sets
    // the default value.
    LONG SetString(const std::string& name, const std::string& text) noexcept;
    // Sets a REG_SZ value from wide text (RegSetValueExW; the native store keeps it as UTF-8).
    LONG SetString(const std::string& name, const WCHAR* text) noexcept;
    // Sets a value of any type to exactly the bytes given.
    LONG SetValue(const std::string& name, DWORD type, const void* data, size_t cb) noexcept;

    // Reads a value: its type and bytes as stored (on Windows a REG_SZ value's bytes are
    // UTF-16). ERROR_FILE_NOT_FOUND when it is missing,
    // ERROR_KEY_DELETED when the key was deleted after it was opened (native store).
    LONG QueryValue(const std::string& name, DWORD* type, std::vector<BYTE>* data) const noexcept;
    // Reads a REG_SZ value as text (UTF-8 on Windows) without its terminating zero;
    // ERROR_INVALID_PARAMETER when the value has another type.
    LONG QueryString(const std::string& name, std::string* text) const noexcept;
    // Names of the immediate subkeys, and of the values (the default value as ""), in the
    // order the registry gives them.
    LONG EnumSubkeys(std::vector<std::string>* names) const noexcept;
    LONG EnumValues(std::vector<std::string>* names) const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// Deletes a key with all its subkeys and values. ERROR_FILE_NOT_FOUND when the key does not
// exist.
LONG RegDeleteKeyTree(RegHive hive, const std::string& path) noexcept;

// Native store: the folder the store lives in; Windows: empty (the system registry).
std::string RegStoreFolder();
// Native store: the first reason a hive file cannot be read ("<file>:<line>: <what>"), or else
// the first line skipped in one ("<file>:<line>: key skipped: <why>"), empty when every hive
// reads whole; Windows: always empty.
std::string RegStoreProblem();
// A short English description of a Win32 error number the registry answered with.
std::string RegErrorText(LONG error);
