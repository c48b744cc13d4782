// The property page in the platform's property frame (OleCreatePropertyFrame), shown on an X
// display: the frame runs modally on the test's thread while a second thread finds the page's
// controls by id and uses them as a user would, then closes the frame with its OK button.
// A picture of the frame (its client area) is saved beside the test program as VelomixPage.png.
#include "Harness.h"
#include "IVelomixProp.h"
#include "Support.h"
#include "resource.h"

#include <commctrl.h>
#include <olectl.h>
#include <prsht.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- a PNG of a window ------------------------------------------------------------------

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
    PutBE32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBE32(out, Crc32(out.data() + start, out.size() - start));
}

// 8-bit RGB rows (each led by filter byte 0) in a zlib stream of stored blocks.
std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgb, LONG width, LONG height) {
    std::vector<uint8_t> raw;
    const size_t stride = static_cast<size_t>(width) * 3;
    for (LONG y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + static_cast<ptrdiff_t>(y * stride),
                   rgb.begin() + static_cast<ptrdiff_t>((y + 1) * stride));
    }
    std::vector<uint8_t> z{0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (size_t at = 0; at < raw.size() || at == 0;) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        const bool last = at + n >= raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        for (size_t i = at; i < at + n; ++i) {
            a = (a + raw[i]) % 65521;
            b = (b + a) % 65521;
        }
        z.insert(z.end(), raw.begin() + static_cast<ptrdiff_t>(at),
                 raw.begin() + static_cast<ptrdiff_t>(at + n));
        at += n;
        if (last)
            break;
    }
    PutBE32(z, (b << 16) | a);

    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    PutBE32(ihdr, static_cast<uint32_t>(width));
    PutBE32(ihdr, static_cast<uint32_t>(height));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", z);
    PutChunk(png, "IEND", {});
    return png;
}

// What the screen shows of the window's client area, as a PNG file. (The caption is left out:
// without a window manager on the X display nobody draws it.)
bool SaveWindowPng(HWND hwnd, const std::wstring& path) {
    RECT rc;
    if (!GetClientRect(hwnd, &rc))
        return false;
    MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&rc), 2);
    const LONG width = rc.right - rc.left, height = rc.bottom - rc.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, width, height, screen, rc.left, rc.top, SRCCOPY);
    SelectObject(mem, old);

    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height; // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<uint8_t> bgrx(static_cast<size_t>(width) * height * 4);
    const int rows =
        GetDIBits(mem, bitmap, 0, static_cast<UINT>(height), bgrx.data(), &bi, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (rows != height)
        return false;

    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < bgrx.size(); i += 4)
        rgb.insert(rgb.end(), {bgrx[i + 2], bgrx[i + 1], bgrx[i]});
    const std::vector<uint8_t> png = EncodePng(rgb, width, height);
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && ok;
}

// ---- the user's side ----------------------------------------------------------------------

struct Values {
    double tempo = 0;
    double rate = 0;
    int pitch = 0;
};

// What the driving thread saw; checked on the test's thread afterwards.
struct PageRun {
    DWORD frameThread = 0;
    IVelomixProp* prop = nullptr; // the filter, owned by the test
    std::wstring picture;

    HWND sheet = nullptr;
    HWND page = nullptr;
    std::wstring tabTitle;
    bool pictureSaved = false;
    LRESULT fresh[3] = {};
    std::string freshText[3];
    Values afterTempo, afterPitch, afterInit;
    std::string tempoText, pitchText;
    LRESULT initPos[3] = {};
    std::string initText[3];
};

std::string ItemText(HWND hDlg, int id) {
    char text[64] = "";
    // ANSI on purpose: the page shows ASCII digits, and a narrow reader sees them the same.
    GetDlgItemTextA(hDlg, id, text, sizeof(text));
    return text;
}

Values Read(IVelomixProp* prop) {
    Values v;
    prop->GetTempo(&v.tempo);
    prop->GetRate(&v.rate);
    prop->GetPitch(&v.pitch);
    return v;
}

BOOL CALLBACK FindSheet(HWND hwnd, LPARAM lParam) {
    char cls[32];
    // ANSI on purpose: class names are ASCII.
    if (IsWindowVisible(hwnd) && GetClassNameA(hwnd, cls, sizeof(cls)) &&
        std::strcmp(cls, "#32770") == 0) {
        *reinterpret_cast<HWND*>(lParam) = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct ChildSearch {
    int id;
    const char* cls;
    HWND found;
};

BOOL CALLBACK FindChild(HWND hwnd, LPARAM lParam) {
    auto* s = reinterpret_cast<ChildSearch*>(lParam);
    char cls[64];
    // ANSI on purpose: class names are ASCII.
    if (GetClassNameA(hwnd, cls, sizeof(cls)) && lstrcmpiA(cls, s->cls) == 0 &&
        (s->id < 0 || GetDlgCtrlID(hwnd) == s->id)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND Child(HWND parent, const char* cls, int id = -1) {
    ChildSearch s{id, cls, nullptr};
    EnumChildWindows(parent, FindChild, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

void ReleaseSlider(HWND hPage, int id, int position) {
    HWND slider = GetDlgItem(hPage, id);
    SendMessageW(slider, TBM_SETPOS, TRUE, position);
    NMHDR nmhdr{slider, static_cast<UINT_PTR>(id), NM_RELEASEDCAPTURE};
    SendMessageW(hPage, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&nmhdr));
}

DWORD WINAPI DrivePage(LPVOID param) {
    PageRun& run = *static_cast<PageRun*>(param);
    for (int i = 0; i < 200 && !run.sheet; ++i) {
        Sleep(50);
        EnumThreadWindows(run.frameThread, FindSheet, reinterpret_cast<LPARAM>(&run.sheet));
    }
    if (!run.sheet)
        return 0;
    for (int i = 0; i < 100 && !run.page; ++i) {
        if (HWND slider = Child(run.sheet, TRACKBAR_CLASSA, IDC_TEMPO_SLIDER))
            run.page = GetParent(slider);
        else
            Sleep(50);
    }
    if (HWND tab = Child(run.sheet, WC_TABCONTROLA)) {
        wchar_t title[64] = L"";
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = title;
        item.cchTextMax = 64;
        if (SendMessageW(tab, TCM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
            run.tabTitle = title;
    }
    if (run.page) {
        const int sliders[3] = {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER};
        const int texts[3] = {IDC_TEMPO_TEXT, IDC_RATE_TEXT, IDC_PITCH_TEXT};
        for (int k = 0; k < 3; ++k) {
            run.fresh[k] = SendDlgItemMessageW(run.page, sliders[k], TBM_GETPOS, 0, 0);
            run.freshText[k] = ItemText(run.page, texts[k]);
        }
        ReleaseSlider(run.page, IDC_TEMPO_SLIDER, 145);
        run.afterTempo = Read(run.prop);
        run.tempoText = ItemText(run.page, IDC_TEMPO_TEXT);
        ReleaseSlider(run.page, IDC_PITCH_SLIDER, 0);
        run.afterPitch = Read(run.prop);
        run.pitchText = ItemText(run.page, IDC_PITCH_TEXT);

        // Let the frame's thread paint the new state before the picture.
        RedrawWindow(run.sheet, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(700);
        run.pictureSaved = SaveWindowPng(run.sheet, run.picture);

        SendMessageW(run.page, WM_COMMAND, MAKEWPARAM(IDC_INIT, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(run.page, IDC_INIT)));
        run.afterInit = Read(run.prop);
        for (int k = 0; k < 3; ++k) {
            run.initPos[k] = SendDlgItemMessageW(run.page, sliders[k], TBM_GETPOS, 0, 0);
            run.initText[k] = ItemText(run.page, texts[k]);
        }
    }
    // Posted: a sent PSM_PRESSBUTTON does not return while the frame closes.
    PostMessageW(run.sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    return 0;
}

ULONG RefCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

} // namespace

VMX_TEST(page, FrameShowsThePageAndTheSlidersDriveTheFilter) {
    char display[256];
    // ANSI on purpose: only whether it is set matters.
    if (!GetEnvironmentVariableA("DISPLAY", display, sizeof(display))) {
        std::printf("page: skipped, the property frame needs an X display (run under xvfb-run)\n");
        return;
    }
    CComScope com;
    REQUIRE(SUCCEEDED(com.Result()), "CoInitialize: %s", vmxtest::Hex(com.Result()).c_str());
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax not loaded");
    {
        ComPtr<IBaseFilter> filter = RequireFilter(module);
        ComPtr<IVelomixProp> prop = RequireProp(filter.Get());
        ComPtr<ISpecifyPropertyPages> specify;
        REQUIRE_HR(S_OK, filter->QueryInterface(IID_ISpecifyPropertyPages,
                                                reinterpret_cast<void**>(&specify)));
        CAUUID pages{};
        REQUIRE_HR(S_OK, specify->GetPages(&pages));
        REQUIRE(pages.cElems == 1 && IsEqualGUID(pages.pElems[0], CLSID_VelomixProp1),
                "GetPages names the page");

        // The frame creates the page with CoCreateInstance: the module's factory stands in for
        // a registration.
        ComPtr<IClassFactory> factory;
        REQUIRE_HR(S_OK, module.GetClassObject(CLSID_VelomixProp1, IID_IClassFactory,
                                               reinterpret_cast<void**>(&factory)));
        DWORD cookie = 0;
        REQUIRE_HR(S_OK, CoRegisterClassObject(CLSID_VelomixProp1, factory.Get(),
                                               CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
        const ULONG filterRefs = RefCount(filter.Get());

        PageRun run;
        run.frameThread = GetCurrentThreadId();
        run.prop = prop.Get();
        run.picture = ProgramFolder() + L"VelomixPage.png";
        DeleteFileW(run.picture.c_str());
        CHandle driver(CreateThread(nullptr, 0, DrivePage, &run, 0, nullptr));
        REQUIRE(driver.Get(), "no driving thread");
        IUnknown* objects[1] = {filter.Get()};
        const HRESULT hr = OleCreatePropertyFrame(nullptr, 30, 30, L"Velomix", 1, objects,
                                                  pages.cElems, pages.pElems, 0x0409, 0, nullptr);
        WaitForSingleObject(driver.Get(), INFINITE);
        CoTaskMemFree(pages.pElems);
        CoRevokeClassObject(cookie);

        CHECK_HR(S_OK, hr);
        REQUIRE(run.sheet, "no property frame appeared");
        REQUIRE(run.page, "the frame shows no dialog with the tempo slider (103)");
        CHECK(run.tabTitle == L"Speed Prop", "page title \"%s\", expected \"Speed Prop\"",
              vmxtest::Narrow(run.tabTitle.c_str()).c_str());
        CHECK(run.fresh[0] == 95 && run.fresh[1] == 95 && run.fresh[2] == 10,
              "fresh sliders at %d/%d/%d, expected 95/95/10", static_cast<int>(run.fresh[0]),
              static_cast<int>(run.fresh[1]), static_cast<int>(run.fresh[2]));
        CHECK(run.freshText[0] == "1.0" && run.freshText[1] == "1.0" && run.freshText[2] == "0",
              "fresh texts %s/%s/%s", run.freshText[0].c_str(), run.freshText[1].c_str(),
              run.freshText[2].c_str());
        CHECK(run.afterTempo.tempo == 1.5 && run.afterTempo.rate == 1.0 &&
                  run.afterTempo.pitch == 0,
              "tempo slider at 145: filter %g/%g/%d, expected 1.5/1/0", run.afterTempo.tempo,
              run.afterTempo.rate, run.afterTempo.pitch);
        CHECK(run.tempoText == "1.5", "tempo text \"%s\", expected \"1.5\"", run.tempoText.c_str());
        CHECK(run.afterPitch.pitch == -10 && run.afterPitch.tempo == 1.5,
              "pitch slider at 0: filter %g/%g/%d, expected 1.5/1/-10", run.afterPitch.tempo,
              run.afterPitch.rate, run.afterPitch.pitch);
        CHECK(run.pitchText == "-10", "pitch text \"%s\", expected \"-10\"", run.pitchText.c_str());
        CHECK(run.afterInit.tempo == 1.0 && run.afterInit.rate == 1.0 && run.afterInit.pitch == 0,
              "after Init: filter %g/%g/%d, expected 1/1/0", run.afterInit.tempo,
              run.afterInit.rate, run.afterInit.pitch);
        CHECK(run.initPos[0] == 95 && run.initPos[1] == 95 && run.initPos[2] == 10 &&
                  run.initText[0] == "1.0" && run.initText[1] == "1.0" && run.initText[2] == "0",
              "after Init: sliders %d/%d/%d, texts %s/%s/%s", static_cast<int>(run.initPos[0]),
              static_cast<int>(run.initPos[1]), static_cast<int>(run.initPos[2]),
              run.initText[0].c_str(), run.initText[1].c_str(), run.initText[2].c_str());
        CHECK(run.pictureSaved, "no picture of the frame saved as %s",
              vmxtest::Narrow(run.picture.c_str()).c_str());
        // The frame never disconnects its pages: the page let go of the filter when released.
        CHECK(RefCount(filter.Get()) == filterRefs,
              "the filter has %lu references after the frame, %lu before",
              static_cast<unsigned long>(RefCount(filter.Get())),
              static_cast<unsigned long>(filterRefs));
    }
    CHECK_HR(S_OK, module.CanUnloadNow());
}
