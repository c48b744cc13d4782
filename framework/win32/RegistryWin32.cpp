// Registry.h over the Win32 registry.
#include "Registry.h"

#include <algorithm>
#include <new>

namespace {

// An open HKEY, closed when the owner goes.
class CHKey {
public:
    CHKey() noexcept = default;
    explicit CHKey(HKEY hKey) noexcept : m_hKey(hKey) {}
    ~CHKey() {
        if (m_hKey)
            RegCloseKey(m_hKey);
    }
    CHKey(const CHKey&) = delete;
    CHKey& operator=(const CHKey&) = delete;
    HKEY Get() const noexcept { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

HKEY RootOf(RegHive hive) {
    switch (hive) {
    case RegHive::ClassesRoot:
        return HKEY_CLASSES_ROOT;
    case RegHive::CurrentUser:
        return HKEY_CURRENT_USER;
    case RegHive::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    }
    return HKEY_CURRENT_USER;
}

const char* NameOrDefault(const std::string& name) {
    return name.empty() ? nullptr : name.c_str();
}

template <class F> LONG Guard(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Deletes every subkey of hKey, depth first (RegDeleteTree is not on every system we serve).
LONG DeleteSubkeys(HKEY hKey) {
    for (;;) {
        char name[256];
        DWORD cch = sizeof(name);
        LONG result = RegEnumKeyExA(hKey, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (result != ERROR_SUCCESS)
            return result;
        HKEY hChild = nullptr;
        if ((result = RegOpenKeyExA(hKey, name, 0, KEY_READ | KEY_WRITE | DELETE, &hChild)) !=
            ERROR_SUCCESS)
            return result;
        {
            const CHKey child(hChild);
            if ((result = DeleteSubkeys(child.Get())) != ERROR_SUCCESS)
                return result;
        }
        if ((result = RegDeleteKeyA(hKey, name)) != ERROR_SUCCESS)
            return result;
    }
}

} // namespace

struct CRegKey::Impl {
    CHKey key;
    explicit Impl(HKEY hKey) noexcept : key(hKey) {}
};

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
        HKEY hKey = nullptr;
        const LONG result =
            RegCreateKeyExA(RootOf(hive), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(hKey);
        return result;
    });
}

LONG CRegKey::OpenForWrite(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        HKEY hKey = nullptr;
        const LONG result = RegOpenKeyExA(RootOf(hive), path.c_str(), 0, KEY_WRITE, &hKey);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(hKey);
        return result;
    });
}

LONG CRegKey::OpenForRead(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        HKEY hKey = nullptr;
        const LONG result = RegOpenKeyExA(RootOf(hive), path.c_str(), 0, KEY_READ, &hKey);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(hKey);
        return result;
    });
}

LONG CRegKey::SetString(const std::string& name, const std::string& text) noexcept {
    return SetValue(name, REG_SZ, text.c_str(), text.size() + 1);
}

LONG CRegKey::SetString(const std::string& name, const WCHAR* text) noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        // Value names here are ASCII, which widens byte by byte.
        const std::wstring wideName(name.begin(), name.end());
        const std::wstring value = text ? text : L"";
        return RegSetValueExW(m_pImpl->key.Get(), name.empty() ? nullptr : wideName.c_str(), 0,
                              REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
    });
}

LONG CRegKey::SetValue(const std::string& name, DWORD type, const void* data, size_t cb) noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return RegSetValueExA(m_pImpl->key.Get(), NameOrDefault(name), 0, type,
                          static_cast<const BYTE*>(data), static_cast<DWORD>(cb));
}

LONG CRegKey::QueryValue(const std::string& name, DWORD* type,
                         std::vector<BYTE>* data) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        std::vector<BYTE> bytes(256);
        for (;;) {
            DWORD dwType = 0;
            DWORD cb = static_cast<DWORD>(bytes.size());
            const LONG result = RegQueryValueExA(m_pImpl->key.Get(), NameOrDefault(name), nullptr,
                                                 &dwType, bytes.data(), &cb);
            if (result == ERROR_MORE_DATA) {
                bytes.resize(std::max<size_t>(cb, bytes.size() * 2));
                continue;
            }
            if (result != ERROR_SUCCESS)
                return result;
            bytes.resize(cb);
            if (type)
                *type = dwType;
            if (data)
                *data = std::move(bytes);
            return ERROR_SUCCESS;
        }
    });
}

LONG CRegKey::EnumSubkeys(std::vector<std::string>* names) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        names->clear();
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD cch = sizeof(name);
            const LONG result = RegEnumKeyExA(m_pImpl->key.Get(), i, name, &cch, nullptr, nullptr,
                                              nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                return ERROR_SUCCESS;
            if (result != ERROR_SUCCESS)
                return result;
            names->emplace_back(name, cch);
        }
    });
}

LONG CRegKey::EnumValues(std::vector<std::string>* names) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        names->clear();
        for (DWORD i = 0;; ++i) {
            char name[16384];
            DWORD cch = sizeof(name);
            const LONG result = RegEnumValueA(m_pImpl->key.Get(), i, name, &cch, nullptr, nullptr,
                                              nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                return ERROR_SUCCESS;
            if (result != ERROR_SUCCESS)
                return result;
            names->emplace_back(name, cch);
        }
    });
}

LONG RegDeleteKeyTree(RegHive hive, const std::string& path) noexcept {
    return Guard([&]() -> LONG {
        HKEY hKey = nullptr;
        LONG result =
            RegOpenKeyExA(RootOf(hive), path.c_str(), 0, KEY_READ | KEY_WRITE | DELETE, &hKey);
        if (result != ERROR_SUCCESS)
            return result;
        {
            const CHKey key(hKey);
            if ((result = DeleteSubkeys(key.Get())) != ERROR_SUCCESS)
                return result;
        }
        return RegDeleteKeyA(RootOf(hive), path.c_str());
    });
}

std::string RegStoreFolder() {
    return {};
}

std::string RegStoreProblem() {
    return {};
}

std::string RegErrorText(LONG error) {
    try {
        char text[512];
        const DWORD n =
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, text, sizeof(text), nullptr);
        std::string message(text, n);
        while (!message.empty() &&
               (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
            message.pop_back();
        return message.empty() ? "error " + std::to_string(error) : message;
    } catch (...) {
        return {};
    }
}
