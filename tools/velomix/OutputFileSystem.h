// What COutputFile (OutputFile.cpp) asks of the operating system: one implementation per
// platform (OutputFilePosix.cpp, OutputFileWin32.cpp). Paths are the job's narrow paths.
#pragma once

#include <string>

struct FileIdentity;

namespace outputfile {

// The identity of the file the path names, links followed; false when there is none (no such
// file, a device path on Windows).
bool Identify(const std::string& path, FileIdentity* pIdentity);

// What OUT names now, as the job's writing sees it.
enum class Kind {
    Replaceable, // a regular file that may be replaced, or no file yet
    Folder,
    Device, // a pipe, a terminal, a null device: written where it is
    Kept,   // a file that may not be replaced (*pWhy says why)
};
Kind Inspect(const std::string& path, std::string* pWhy);

// The file that the result replaces: OUT with its symbolic links followed where the system has
// them, so that a link stays a link.
std::string ReplacedFile(const std::string& path);
// The folder of that file, for messages.
std::string FolderOf(const std::string& replaced);

// Removes, from the replaced file's folder, the temporary files that runs of this user on this
// system left when they were killed: only names of this program's own making whose process is
// gone for certain. Nothing on Windows yet.
void RemoveStaleTemporaries(const std::string& replaced);
// Seeds the temporary names of one Create.
unsigned NameSeed();
// The attempt-th temporary name beside the replaced file, in its folder.
std::string TemporaryName(const std::string& replaced, unsigned seed, unsigned attempt);

enum class Created { Ok, NameTaken, Failed };
// Creates `path` as a new empty file, or reports the name taken; the file keeps what the system
// lets a replaced file pass on (POSIX: its permissions, without the set-ID and sticky bits).
// *pError is the system's text on Failed.
Created CreateNew(const std::string& path, const std::string& replaced, std::string* pError);
// Moves the finished file over the replaced one, with its owner and group where the system has
// them and lets this process give them; false with the system's text. A replaced file with other
// hard links is written through instead, so that every link sees the result; the finished file
// is then removed.
bool Replace(const std::string& from, const std::string& to, std::string* pError);
void Remove(const std::string& path) noexcept;

} // namespace outputfile
