// The rules of COutputFile, the same on every platform; OutputFileSystem.h names the system
// calls they rest on.
#include "OutputFile.h"

#include "OutputFileSystem.h"

namespace {

// Temporary names tried before giving up: the names are random, so a clash is rare.
constexpr unsigned kNameAttempts = 100;

} // namespace

COutputFile::~COutputFile() {
    Discard();
}

bool COutputFile::SameFile(const std::string& inputPath, const std::string& outputPath) {
    return SameFile(inputPath, outputPath, outputfile::Identify);
}

bool COutputFile::SameFile(const std::string& inputPath, const std::string& outputPath,
                           IdentifyFile identify) {
    FileIdentity in;
    FileIdentity out;
    return identify(inputPath, &in) && identify(outputPath, &out) && in == out;
}

COutputFile::Result COutputFile::Create(const std::string& inputPath,
                                        const std::string& outputPath) {
    using namespace outputfile;
    Discard();
    m_Error.clear();
    if (SameFile(inputPath, outputPath)) {
        m_Error = "it is the input file";
        return Result::SameAsInput;
    }
    std::string why;
    switch (Inspect(outputPath, &why)) {
    case Kind::Folder:
        m_Error = "it is a folder";
        return Result::Failed;
    case Kind::Kept:
        m_Error = why;
        return Result::Failed;
    case Kind::Device:
        m_TargetPath = m_WritePath = outputPath;
        return Result::Ok;
    case Kind::Replaceable:
        break;
    }
    m_TargetPath = ReplacedFile(outputPath);
    RemoveStaleTemporaries(m_TargetPath);
    const std::string folder = FolderOf(m_TargetPath);
    const unsigned seed = NameSeed();
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string path = TemporaryName(m_TargetPath, seed, attempt);
        std::string error;
        switch (CreateNew(path, m_TargetPath, &error)) {
        case Created::NameTaken:
            continue;
        case Created::Failed:
            m_Error = "cannot create a file in " + folder + ": " + error;
            return Result::Failed;
        case Created::Ok:
            m_WritePath = path;
            m_bTemporary = true;
            return Result::Ok;
        }
    }
    m_Error = "cannot find a free temporary name in " + folder;
    return Result::Failed;
}

bool COutputFile::Commit() {
    if (!m_bTemporary)
        return true;
    if (!outputfile::Replace(m_WritePath, m_TargetPath, &m_Error)) {
        Discard();
        return false;
    }
    m_bTemporary = false;
    return true;
}

void COutputFile::Discard() noexcept {
    if (m_bTemporary)
        outputfile::Remove(m_WritePath);
    m_bTemporary = false;
}
