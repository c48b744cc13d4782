#include "ModuleLoader.h"

#include "Win32Text.h"

namespace {

// GetProcAddress's FARPROC as the entry point's own type.
template <class Fn> Fn Entry(HMODULE hModule, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hModule, name)));
}

// The absolute, normalised form of path ("..", "." and '/' resolved); empty on failure.
std::wstring FullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return {};
    std::wstring full(n, L'\0');
    const DWORD m = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (m == 0 || m >= n)
        return {};
    full.resize(m);
    return full;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The running program's folder, with a trailing backslash; empty on failure.
std::wstring ExecutableFolder() {
    std::wstring exe(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &exe[0], static_cast<DWORD>(exe.size()));
        if (n == 0)
            return {};
        if (n < exe.size()) {
            exe.resize(n);
            break;
        }
        if (exe.size() >= 32768)
            return {};
        exe.resize(exe.size() * 2);
    }
    const size_t slash = exe.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : exe.substr(0, slash + 1);
}

} // namespace

CModuleLoader::~CModuleLoader() {
    // Unload only a module that says it may go (no object of it lives).
    if (m_hModule && m_pCanUnloadNow && m_pCanUnloadNow() == S_OK)
        FreeLibrary(static_cast<HMODULE>(m_hModule));
}

bool CModuleLoader::Load(const std::string& path) {
    if (m_hModule)
        return true;
    m_Path = path;
    // An absolute path: LoadLibrary searches for a relative one along the DLL search path
    // instead of taking it from the current folder.
    std::wstring wide;
    const std::wstring full = WideFromUtf8(path, &wide) ? FullPath(wide) : std::wstring();
    if (full.empty()) {
        m_Error = "cannot load " + path + ": not a valid path";
        return false;
    }
    // A file that is not a module reports its error here instead of in a message box.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The module's own folder first for whatever it imports.
    const HMODULE hModule = LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    SetErrorMode(previousMode);
    if (!hModule) {
        m_Error = "cannot load " + path + ": " + SystemErrorText(error);
        return false;
    }
    m_hModule = hModule;
    m_pGetClassObject = Entry<GetClassObjectFn>(hModule, "DllGetClassObject");
    m_pCanUnloadNow = Entry<CanUnloadNowFn>(hModule, "DllCanUnloadNow");
    if (!m_pGetClassObject || !m_pCanUnloadNow) {
        m_Error = path + " does not export DllGetClassObject and DllCanUnloadNow";
        m_pGetClassObject = nullptr;
        m_pCanUnloadNow = nullptr;
        FreeLibrary(hModule);
        m_hModule = nullptr;
        return false;
    }
    // Optional: only registration needs them.
    m_pRegisterServer = Entry<RegisterServerFn>(hModule, "DllRegisterServer");
    m_pUnregisterServer = Entry<RegisterServerFn>(hModule, "DllUnregisterServer");
    return true;
}

std::string CModuleLoader::DefaultPath() {
    // The wide environment: a path outside the ANSI code page survives.
    WCHAR env[32768];
    const DWORD n = GetEnvironmentVariableW(L"VELOMIX_MODULE", env, ARRAYSIZE(env));
    std::string fromEnv;
    if (n > 0 && n < ARRAYSIZE(env) && Utf8FromWide(env, n, &fromEnv))
        return fromEnv;
    const std::wstring dir = ExecutableFolder();
    if (dir.empty())
        return {};
    for (const wchar_t* rel : {L"Velomix.ax", L"..\\filter\\Velomix.ax"}) {
        // The registry records this path: make it the plain absolute one.
        const std::wstring candidate = FullPath(dir + rel);
        std::string path;
        if (!candidate.empty() && IsFile(candidate) && Utf8FromWide(candidate, &path))
            return path;
    }
    return {};
}
