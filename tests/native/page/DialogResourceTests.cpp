// The page's dialog as the module builds it natively, against the resource script the Windows
// module is compiled from: the two descriptions of one dialog must not drift apart.
#include "PageTest.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

namespace {

std::string SourceRoot() {
    const std::string file = __FILE__;
    return file.substr(0, file.rfind("tests/native/page/"));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ScriptControl {
    std::string text;
    int id;
    std::string className;
    DWORD style;
    RECT units; // left, top, right, bottom in dialog units
    DWORD exStyle;
};

struct Script {
    int dialogId = 0;
    RECT dialogUnits{};
    DWORD style = 0;
    DWORD exStyle = 0;
    std::vector<ScriptControl> controls;
    std::map<int, std::string> strings;
};

// The subset of the resource-script syntax VelomixProp.rc uses; symbols from resource.h.
Script ParseScript(const std::string& rc, const std::string& header) {
    std::map<std::string, long> symbols;
    const std::regex define(R"(#define\s+(\w+)\s+(-?\d+))");
    for (std::sregex_iterator it(header.begin(), header.end(), define), end; it != end; ++it)
        symbols[(*it)[1]] = std::stol((*it)[2]);
    auto value = [&](const std::string& token) -> long {
        auto found = symbols.find(token);
        return found != symbols.end() ? found->second : std::stol(token, nullptr, 0);
    };

    Script script;
    std::smatch m;
    const std::regex dialog(R"((\w+)\s+DIALOGEX\s+(-?\d+),\s*(-?\d+),\s*(\d+),\s*(\d+))");
    if (std::regex_search(rc, m, dialog)) {
        script.dialogId = static_cast<int>(value(m[1]));
        const LONG x = std::stoi(m[2]), y = std::stoi(m[3]);
        script.dialogUnits = RECT{x, y, x + std::stoi(m[4]), y + std::stoi(m[5])};
    }
    if (std::regex_search(rc, m, std::regex(R"(\n\s*STYLE\s+(\S+))")))
        script.style = static_cast<DWORD>(value(m[1]));
    if (std::regex_search(rc, m, std::regex(R"(\n\s*EXSTYLE\s+(\S+))")))
        script.exStyle = static_cast<DWORD>(value(m[1]));

    const std::regex control(
        R"re(CONTROL\s+"([^"]*)",\s*([-\w]+),\s*"([^"]+)",\s*(\w+),\s*(-?\d+),\s*(-?\d+),\s*(\d+),\s*(\d+),\s*(\w+))re");
    for (std::sregex_iterator it(rc.begin(), rc.end(), control), end; it != end; ++it) {
        const std::smatch& c = *it;
        const LONG x = std::stoi(c[5]), y = std::stoi(c[6]);
        script.controls.push_back({c[1], static_cast<int>(value(c[2])), c[3],
                                   static_cast<DWORD>(value(c[4])),
                                   RECT{x, y, x + std::stoi(c[7]), y + std::stoi(c[8])},
                                   static_cast<DWORD>(value(c[9]))});
    }

    const size_t table = rc.find("STRINGTABLE");
    if (table != std::string::npos) {
        const std::string body = rc.substr(table);
        const std::regex entry(R"re(\n\s*(\w+)\s+"([^"]*)")re");
        for (std::sregex_iterator it(body.begin(), body.end(), entry), end; it != end; ++it)
            script.strings[static_cast<int>(value((*it)[1]))] = (*it)[2];
    }
    return script;
}

std::string ClassName(HWND hwnd) {
    char name[64];
    GetClassNameA(hwnd, name, sizeof(name));
    return name;
}

std::string WindowText(HWND hwnd) {
    char text[64];
    GetWindowTextA(hwnd, text, sizeof(text));
    return text;
}

} // namespace

TEST_F(PageTest, DialogMatchesTheResourceScript) {
    const Script script = ParseScript(ReadFile(SourceRoot() + "control/VelomixProp.rc"),
                                      ReadFile(SourceRoot() + "control/resource.h"));
    ASSERT_EQ(script.dialogId, IDD_VELOMIXPROP);
    ASSERT_EQ(script.controls.size(), 10u) << "the script's controls were not all read";
    ASSERT_EQ(script.strings.count(IDS_VELOMIXPROP_TITLE), 1u);

    ComPtr<IBaseFilter> filter = CreateFilter();
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    // Showing is the frame's business; everything else is the template's.
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(hDlg, GWL_STYLE)) & ~static_cast<DWORD>(WS_VISIBLE),
              script.style);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(hDlg, GWL_EXSTYLE)), script.exStyle);

    RECT dialogRect;
    GetWindowRect(hDlg, &dialogRect);
    HWND hControl = GetWindow(hDlg, GW_CHILD);
    for (const ScriptControl& expected : script.controls) {
        SCOPED_TRACE(testing::Message()
                     << "control " << expected.id << " \"" << expected.text << "\"");
        ASSERT_NE(hControl, nullptr) << "fewer controls than the script lists";
        EXPECT_EQ(strcasecmp(ClassName(hControl).c_str(), expected.className.c_str()), 0)
            << ClassName(hControl);
        EXPECT_EQ(GetDlgCtrlID(hControl), expected.id);
        if (strcasecmp(expected.className.c_str(), "edit") != 0) { // the page fills the edits
            EXPECT_EQ(WindowText(hControl), expected.text);
        }
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(hControl, GWL_STYLE)), expected.style);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(hControl, GWL_EXSTYLE)), expected.exStyle);
        RECT place = expected.units;
        MapDialogRect(hDlg, &place);
        RECT actual;
        GetWindowRect(hControl, &actual);
        EXPECT_EQ(actual.left - dialogRect.left, place.left);
        EXPECT_EQ(actual.top - dialogRect.top, place.top);
        EXPECT_EQ(actual.right - dialogRect.left, place.right);
        EXPECT_EQ(actual.bottom - dialogRect.top, place.bottom);
        hControl = GetWindow(hControl, GW_HWNDNEXT);
    }
    EXPECT_EQ(hControl, nullptr) << "more controls than the script lists";

    PROPPAGEINFO info{};
    ASSERT_HR(S_OK, m_Page->GetPageInfo(&info));
    std::string title;
    for (const wchar_t* p = info.pszTitle; p && *p; ++p)
        title += static_cast<char>(*p);
    CoTaskMemFree(info.pszTitle);
    EXPECT_EQ(title, script.strings.at(IDS_VELOMIXPROP_TITLE));
    RECT size = script.dialogUnits;
    MapDialogRect(hDlg, &size);
    EXPECT_EQ(info.size.cx, size.right - size.left);
    EXPECT_EQ(info.size.cy, size.bottom - size.top);
}
