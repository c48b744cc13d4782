// Registry.h over the native file-backed store.
#include "RegistryStore.h"

#include <algorithm>
#include <cwchar>

using namespace regstore;

std::string regstore::Utf8(const WCHAR* text) {
    std::string out;
    for (; *text; ++text) {
        uint32_t c = static_cast<uint32_t>(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct CRegKey::Impl {
    RegHive hive;
    std::string path; // as opened; looked up without regard to case
    bool bWrite;
};

namespace {

// Runs body, turning an exception (only allocation can throw here) into an error number.
template <class F> LONG Guard(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_CANTWRITE;
    }
}

} // namespace

CRegKey::CRegKey() noexcept = default;
CRegKey::~CRegKey() = default;
CRegKey::CRegKey(CRegKey&& other) noexcept = default;
CRegKey& CRegKey::operator=(CRegKey&& other) noexcept = default;

void CRegKey::Close() noexcept {
    m_pImpl.reset();
}

bool CRegKey::IsOpen() const noexcept {
    return m_pImpl != nullptr;
}

LONG CRegKey::Create(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        std::vector<std::string> parts;
        if (!SplitPath(path, &parts))
            return ERROR_BAD_PATHNAME;
        const LONG result = ModifyHive(hive, [&](CHive& model, bool* changed) -> LONG {
            if (!model.HasRoomFor(parts))
                return ERROR_REGISTRY_QUOTA_LIMIT;
            *changed = model.CreateKey(parts);
            return ERROR_SUCCESS;
        });
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(Impl{hive, path, true});
        return result;
    });
}

LONG CRegKey::OpenForWrite(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        CHive model;
        LONG result = ReadHive(hive, &model);
        if (result == ERROR_SUCCESS && !model.Find(path))
            result = ERROR_FILE_NOT_FOUND;
        if (result == ERROR_SUCCESS)
            result = CheckWritable(hive);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(Impl{hive, path, true});
        return result;
    });
}

LONG CRegKey::OpenForRead(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        CHive model;
        LONG result = ReadHive(hive, &model);
        if (result == ERROR_SUCCESS && !path.empty() && !model.Find(path))
            result = ERROR_FILE_NOT_FOUND;
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(Impl{hive, path, false});
        return result;
    });
}

LONG CRegKey::QueryString(const std::string& name, std::string* text) const noexcept {
    try {
        DWORD type = 0;
        std::vector<BYTE> data;
        const LONG result = QueryValue(name, &type, &data);
        if (result != ERROR_SUCCESS)
            return result;
        if (type != kRegSz)
            return ERROR_INVALID_PARAMETER;
        // As the Win32 API reads it: up to the first zero.
        const auto end = std::find(data.begin(), data.end(), BYTE{0});
        text->assign(data.begin(), end);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG CRegKey::SetString(const std::string& name, const std::string& text) noexcept {
    return SetValue(name, kRegSz, text.c_str(), text.size() + 1);
}

LONG CRegKey::SetString(const std::string& name, const WCHAR* text) noexcept {
    return Guard([&]() -> LONG {
        const std::string narrow = text ? Utf8(text) : std::string();
        return SetString(name, narrow);
    });
}

LONG CRegKey::SetValue(const std::string& name, DWORD type, const void* data, size_t cb) noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    if (!m_pImpl->bWrite)
        return ERROR_ACCESS_DENIED;
    if (!data && cb)
        return ERROR_INVALID_PARAMETER;
    return Guard([&]() -> LONG {
        return ModifyHive(m_pImpl->hive, [&](CHive& model, bool* changed) -> LONG {
            Key* key = model.Find(m_pImpl->path);
            if (!key)
                return ERROR_KEY_DELETED;
            *changed = CHive::SetValue(key, name, type, static_cast<const BYTE*>(data), cb);
            return ERROR_SUCCESS;
        });
    });
}

LONG CRegKey::QueryValue(const std::string& name, DWORD* type,
                         std::vector<BYTE>* data) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        CHive model;
        const LONG result = ReadHive(m_pImpl->hive, &model);
        if (result != ERROR_SUCCESS)
            return result;
        if (m_pImpl->path.empty())
            return ERROR_FILE_NOT_FOUND; // the root holds no values
        const Key* key = model.Find(m_pImpl->path);
        if (!key)
            return ERROR_KEY_DELETED;
        for (const Value& v : key->values) {
            if (Fold(v.name) != Fold(name))
                continue;
            if (type)
                *type = v.type;
            if (data)
                *data = v.data;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

LONG CRegKey::EnumSubkeys(std::vector<std::string>* names) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        CHive model;
        const LONG result = ReadHive(m_pImpl->hive, &model);
        if (result != ERROR_SUCCESS)
            return result;
        if (!m_pImpl->path.empty() && !model.Find(m_pImpl->path))
            return ERROR_KEY_DELETED;
        *names = model.Subkeys(m_pImpl->path);
        return ERROR_SUCCESS;
    });
}

LONG CRegKey::EnumValues(std::vector<std::string>* names) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        CHive model;
        const LONG result = ReadHive(m_pImpl->hive, &model);
        if (result != ERROR_SUCCESS)
            return result;
        names->clear();
        if (m_pImpl->path.empty())
            return ERROR_SUCCESS; // the root holds no values
        const Key* key = model.Find(m_pImpl->path);
        if (!key)
            return ERROR_KEY_DELETED;
        for (const Value& v : key->values)
            names->push_back(v.name);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyTree(RegHive hive, const std::string& path) noexcept {
    return Guard([&]() -> LONG {
        std::vector<std::string> parts;
        if (!SplitPath(path, &parts))
            return ERROR_BAD_PATHNAME;
        // Missing keys are reported without taking the lock or needing write access.
        CHive model;
        LONG result = ReadHive(hive, &model);
        if (result == ERROR_SUCCESS && !model.Find(path))
            result = ERROR_FILE_NOT_FOUND;
        if (result != ERROR_SUCCESS)
            return result;
        return ModifyHive(hive, [&](CHive& current, bool* changed) -> LONG {
            *changed = current.DeleteTree(path);
            return *changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        });
    });
}

std::string RegStoreProblem() {
    try {
        for (const RegHive hive :
             {RegHive::ClassesRoot, RegHive::CurrentUser, RegHive::LocalMachine}) {
            CHive model;
            std::string problem;
            const LONG result = ReadHive(hive, &model, &problem);
            if (result == ERROR_BADDB || (result == ERROR_SUCCESS && !problem.empty()))
                return problem;
            if (result != ERROR_SUCCESS)
                return HiveFile(hive) + ": " + RegErrorText(result);
        }
        return {};
    } catch (...) {
        return "out of memory";
    }
}

std::string RegErrorText(LONG error) {
    switch (error) {
    case ERROR_SUCCESS:
        return "the operation completed successfully";
    case ERROR_FILE_NOT_FOUND:
        return "the key or value does not exist";
    case ERROR_ACCESS_DENIED:
        return "access is denied (that part of the registry store is not writable)";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "not enough memory";
    case ERROR_INVALID_HANDLE:
        return "the key is not open";
    case ERROR_INVALID_PARAMETER:
        return "the parameter is incorrect";
    case ERROR_INSUFFICIENT_BUFFER:
        return "the name is too long";
    case ERROR_BAD_PATHNAME:
        return "the key path is not valid (an empty part, a control character, a part longer "
               "than 255 bytes or more than 512 levels)";
    case ERROR_REGISTRY_QUOTA_LIMIT:
        return "the registry store holds as many keys as it may (100000 in one hive)";
    case ERROR_BADDB:
        return "the registry store is corrupt";
    case ERROR_CANTREAD:
        return "the registry store could not be read";
    case ERROR_CANTWRITE:
        return "the registry store could not be written";
    case ERROR_KEY_DELETED:
        return "the key has been deleted";
    default:
        return "error " + std::to_string(error);
    }
}
