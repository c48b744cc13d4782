// The page towards its property frame: the base page's published answers to calls made out of
// order, and what it tells the frame about itself.
#include "PageTest.h"

#include <cwchar>

TEST_F(PageTest, CallsOutOfOrderAreRefused) {
    m_Page = CreatePage();
    ASSERT_TRUE(m_Page);
    ComPtr<IBaseFilter> filter = CreateFilter();
    IUnknown* pObject = filter.Get();
    IUnknown* pNull = nullptr;

    EXPECT_HR(E_UNEXPECTED, m_Page->Activate(m_hFrame, &kPageRect, FALSE)) << "no object yet";
    EXPECT_HR(E_UNEXPECTED, m_Page->Deactivate());
    EXPECT_HR(E_UNEXPECTED, m_Page->Show(SW_SHOW));
    EXPECT_HR(E_UNEXPECTED, m_Page->Move(&kPageRect));
    EXPECT_HR(E_UNEXPECTED, m_Page->SetPageSite(nullptr)) << "no site to release";
    EXPECT_HR(E_UNEXPECTED, m_Page->SetObjects(0, nullptr)) << "nothing to disconnect";
    EXPECT_HR(E_UNEXPECTED, m_Page->SetObjects(2, &pObject));
    EXPECT_HR(E_POINTER, m_Page->SetObjects(1, &pNull));
    EXPECT_HR(E_POINTER, m_Page->SetObjects(1, nullptr));

    EXPECT_HR(S_OK, m_Page->SetObjects(1, &pObject));
    EXPECT_HR(E_UNEXPECTED, m_Page->Apply()) << "no site";
    EXPECT_HR(S_OK, m_Page->SetPageSite(m_Site.Get()));
    EXPECT_HR(E_UNEXPECTED, m_Page->SetPageSite(m_Site.Get())) << "a second site";
    EXPECT_HR(E_POINTER, m_Page->Activate(m_hFrame, nullptr, FALSE));
    EXPECT_EQ(Dialog(), nullptr);

    EXPECT_HR(S_OK, m_Page->Activate(m_hFrame, &kPageRect, FALSE));
    EXPECT_HR(E_UNEXPECTED, m_Page->Activate(m_hFrame, &kPageRect, FALSE)) << "already active";
    EXPECT_HR(E_INVALIDARG, m_Page->Show(3 /* SW_MAXIMIZE */));
    EXPECT_HR(E_POINTER, m_Page->Move(nullptr));
    EXPECT_HR(E_NOTIMPL, m_Page->Help(L"help"));
    EXPECT_HR(E_NOTIMPL, m_Page->TranslateAccelerator(nullptr));
    EXPECT_HR(E_POINTER, m_Page->GetPageInfo(nullptr));
    // Close() completes the protocol and checks each step.
}

TEST_F(PageTest, ShowAndMovePlaceTheDialog) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    RECT frame, dialog;
    GetWindowRect(m_hFrame, &frame);
    GetWindowRect(hDlg, &dialog);
    EXPECT_EQ(dialog.left - frame.left, kPageRect.left);
    EXPECT_EQ(dialog.top - frame.top, kPageRect.top);
    EXPECT_EQ(dialog.right - dialog.left, kPageRect.right - kPageRect.left);
    EXPECT_EQ(dialog.bottom - dialog.top, kPageRect.bottom - kPageRect.top);

    const RECT moved{0, 0, 200, 100};
    EXPECT_HR(S_OK, m_Page->Move(&moved));
    GetWindowRect(hDlg, &dialog);
    EXPECT_EQ(dialog.left, frame.left);
    EXPECT_EQ(dialog.right - dialog.left, 200);

    EXPECT_HR(S_OK, m_Page->Show(SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(hDlg));
    EXPECT_HR(S_OK, m_Page->Show(SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(hDlg));
}

TEST_F(PageTest, PageInfoNamesTheTitleWithoutHelp) {
    m_Page = CreatePage();
    ASSERT_TRUE(m_Page);
    PROPPAGEINFO info{};
    ASSERT_HR(S_OK, m_Page->GetPageInfo(&info));
    EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
    ASSERT_NE(info.pszTitle, nullptr);
    EXPECT_EQ(std::wcscmp(info.pszTitle, L"Speed Prop"), 0);
    CoTaskMemFree(info.pszTitle);
    EXPECT_GT(info.size.cx, 0);
    EXPECT_GT(info.size.cy, 0);
    EXPECT_EQ(info.pszDocString, nullptr);
    EXPECT_EQ(info.pszHelpFile, nullptr);
    m_Page.Reset();
}
