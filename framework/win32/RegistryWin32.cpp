// Registry.h over the Win32 registry, through the wide calls: key paths, value names and
// REG_SZ data are UTF-8 here and UTF-16 in the registry.
#include "Registry.h"

#include "win32/WideText.h"

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

// A key path or value name as the wide calls take it; text that is not UTF-8 names nothing.
#define VMX_WIDE_OR_FAIL(var, text)                                                                \
    std::wstring var;                                                                              \
    if (!WideFromUtf8(text, &var))                                                                 \
        return ERROR_NO_UNICODE_TRANSLATION;

const WCHAR* NameOrDefault(const std::wstring& name) {
    return name.empty() ? nullptr : name.c_str();
}

// A name the registry gave back; ERROR_NO_UNICODE_TRANSLATION for one that is not UTF-16.
LONG AppendName(const WCHAR* name, DWORD cch, std::vector<std::string>* names) {
    std::string text;
    if (!Utf8FromWide(name, cch, &text))
        return ERROR_NO_UNICODE_TRANSLATION;
    names->push_back(std::move(text));
    return ERROR_SUCCESS;
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
        WCHAR name[256];
        DWORD cch = ARRAYSIZE(name);
        LONG result = RegEnumKeyExW(hKey, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (result != ERROR_SUCCESS)
            return result;
        HKEY hChild = nullptr;
        if ((result = RegOpenKeyExW(hKey, name, 0, KEY_READ | KEY_WRITE | DELETE, &hChild)) !=
            ERROR_SUCCESS)
            return result;
        {
            const CHKey child(hChild);
            if ((result = DeleteSubkeys(child.Get())) != ERROR_SUCCESS)
                return result;
        }
        if ((result = RegDeleteKeyW(hKey, name)) != ERROR_SUCCESS)
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
        VMX_WIDE_OR_FAIL(widePath, path)
        HKEY hKey = nullptr;
        const LONG result =
            RegCreateKeyExW(RootOf(hive), widePath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(hKey);
        return result;
    });
}

LONG CRegKey::OpenForWrite(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(widePath, path)
        HKEY hKey = nullptr;
        const LONG result = RegOpenKeyExW(RootOf(hive), widePath.c_str(), 0, KEY_WRITE, &hKey);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(hKey);
        return result;
    });
}

LONG CRegKey::OpenForRead(RegHive hive, const std::string& path) noexcept {
    Close();
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(widePath, path)
        HKEY hKey = nullptr;
        const LONG result = RegOpenKeyExW(RootOf(hive), widePath.c_str(), 0, KEY_READ, &hKey);
        if (result == ERROR_SUCCESS)
            m_pImpl = std::make_unique<Impl>(hKey);
        return result;
    });
}

LONG CRegKey::SetString(const std::string& name, const std::string& text) noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(wide, text)
        return SetString(name, wide.c_str());
    });
}

LONG CRegKey::SetString(const std::string& name, const WCHAR* text) noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(wideName, name)
        const std::wstring value = text ? text : L"";
        return RegSetValueExW(m_pImpl->key.Get(), NameOrDefault(wideName), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
    });
}

LONG CRegKey::SetValue(const std::string& name, DWORD type, const void* data, size_t cb) noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(wideName, name)
        return RegSetValueExW(m_pImpl->key.Get(), NameOrDefault(wideName), 0, type,
                              static_cast<const BYTE*>(data), static_cast<DWORD>(cb));
    });
}

LONG CRegKey::QueryValue(const std::string& name, DWORD* type,
                         std::vector<BYTE>* data) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(wideName, name)
        std::vector<BYTE> bytes(256);
        for (;;) {
            DWORD dwType = 0;
            DWORD cb = static_cast<DWORD>(bytes.size());
            const LONG result = RegQueryValueExW(m_pImpl->key.Get(), NameOrDefault(wideName),
                                                 nullptr, &dwType, bytes.data(), &cb);
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

LONG CRegKey::QueryString(const std::string& name, std::string* text) const noexcept {
    return Guard([&]() -> LONG {
        DWORD type = 0;
        std::vector<BYTE> data;
        const LONG result = QueryValue(name, &type, &data);
        if (result != ERROR_SUCCESS)
            return result;
        if (type != REG_SZ)
            return ERROR_INVALID_PARAMETER;
        // UTF-16 up to the first zero, as the API reads it; an odd last byte is no character.
        std::wstring wide(data.size() / sizeof(WCHAR), L'\0');
        std::copy_n(data.begin(), wide.size() * sizeof(WCHAR), reinterpret_cast<BYTE*>(&wide[0]));
        wide.resize(std::min(wide.size(), wide.find(L'\0')));
        return Utf8FromWide(wide, text) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
    });
}

LONG CRegKey::EnumSubkeys(std::vector<std::string>* names) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        names->clear();
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            DWORD cch = ARRAYSIZE(name);
            LONG result = RegEnumKeyExW(m_pImpl->key.Get(), i, name, &cch, nullptr, nullptr,
                                        nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                return ERROR_SUCCESS;
            if (result != ERROR_SUCCESS || (result = AppendName(name, cch, names)) != ERROR_SUCCESS)
                return result;
        }
    });
}

LONG CRegKey::EnumValues(std::vector<std::string>* names) const noexcept {
    if (!m_pImpl)
        return ERROR_INVALID_HANDLE;
    return Guard([&]() -> LONG {
        names->clear();
        for (DWORD i = 0;; ++i) {
            WCHAR name[16384];
            DWORD cch = ARRAYSIZE(name);
            LONG result = RegEnumValueW(m_pImpl->key.Get(), i, name, &cch, nullptr, nullptr,
                                        nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                return ERROR_SUCCESS;
            if (result != ERROR_SUCCESS || (result = AppendName(name, cch, names)) != ERROR_SUCCESS)
                return result;
        }
    });
}

LONG RegDeleteKeyTree(RegHive hive, const std::string& path) noexcept {
    return Guard([&]() -> LONG {
        VMX_WIDE_OR_FAIL(widePath, path)
        HKEY hKey = nullptr;
        LONG result =
            RegOpenKeyExW(RootOf(hive), widePath.c_str(), 0, KEY_READ | KEY_WRITE | DELETE, &hKey);
        if (result != ERROR_SUCCESS)
            return result;
        {
            const CHKey key(hKey);
            if ((result = DeleteSubkeys(key.Get())) != ERROR_SUCCESS)
                return result;
        }
        return RegDeleteKeyW(RootOf(hive), widePath.c_str());
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
        WCHAR text[512];
        const DWORD n =
            FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, text, ARRAYSIZE(text), nullptr);
        std::string message;
        Utf8FromWide(text, n, &message);
        while (!message.empty() &&
               (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
            message.pop_back();
        return message.empty() ? "error " + std::to_string(error) : message;
    } catch (...) {
        return {};
    }
}
