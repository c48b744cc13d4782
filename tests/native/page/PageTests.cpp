// The page's behaviour towards the user and the filter.
#include "PageTest.h"

namespace {

struct Values {
    double tempo;
    double rate;
    int pitch;
};

Values Read(IVelomixProp* prop) {
    Values v{};
    prop->GetTempo(&v.tempo);
    prop->GetRate(&v.rate);
    prop->GetPitch(&v.pitch);
    return v;
}

} // namespace

TEST_F(PageTest, FreshFilterShowsDefaultValuesOnEnabledControls) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    EXPECT_TRUE(IsWindowVisible(hDlg));

    ExpectDefaultsShown(hDlg);
    for (int id : {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER}) {
        EXPECT_EQ(SendDlgItemMessageA(hDlg, id, TBM_GETRANGEMIN, 0, 0), 0) << id;
        EXPECT_EQ(SendDlgItemMessageA(hDlg, id, TBM_GETRANGEMAX, 0, 0), 395) << id;
    }
    EXPECT_EQ(SendDlgItemMessageA(hDlg, IDC_PITCH_SLIDER, TBM_GETRANGEMIN, 0, 0), 0);
    EXPECT_EQ(SendDlgItemMessageA(hDlg, IDC_PITCH_SLIDER, TBM_GETRANGEMAX, 0, 0), 20);
    for (int id : {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER, IDC_INIT})
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, id))) << id;
}

TEST_F(PageTest, ReleasedSliderSendsOnlyItsValueAndShowsIt) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);

    struct Case {
        int slider;
        int position;
        int textId;
        const char* text;
        Values expected; // the two untouched values keep what the host set below
    };
    const Case cases[] = {
        {IDC_TEMPO_SLIDER, 145, IDC_TEMPO_TEXT, "1.5", {1.5, 2.0, 3}},
        {IDC_TEMPO_SLIDER, 0, IDC_TEMPO_TEXT, "0.1", {0.05, 2.0, 3}},
        {IDC_TEMPO_SLIDER, 395, IDC_TEMPO_TEXT, "4.0", {4.0, 2.0, 3}},
        {IDC_RATE_SLIDER, 145, IDC_RATE_TEXT, "1.5", {3.0, 1.5, 3}},
        {IDC_RATE_SLIDER, 0, IDC_RATE_TEXT, "0.1", {3.0, 0.05, 3}},
        {IDC_PITCH_SLIDER, 0, IDC_PITCH_TEXT, "-10", {3.0, 2.0, -10}},
        {IDC_PITCH_SLIDER, 20, IDC_PITCH_TEXT, "10", {3.0, 2.0, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "slider " << c.slider << " at " << c.position);
        // Values the page has never seen: a page that sent all three would overwrite them.
        prop->SetTempo(c.slider == IDC_TEMPO_SLIDER ? 1.0 : 3.0);
        prop->SetRate(c.slider == IDC_RATE_SLIDER ? 1.0 : 2.0);
        prop->SetPitch(c.slider == IDC_PITCH_SLIDER ? 0 : 3);
        ReleaseSlider(hDlg, c.slider, c.position);
        const Values v = Read(prop.Get());
        EXPECT_EQ(v.tempo, c.expected.tempo);
        EXPECT_EQ(v.rate, c.expected.rate);
        EXPECT_EQ(v.pitch, c.expected.pitch);
        EXPECT_EQ(Text(hDlg, c.textId), c.text);
    }
}

TEST_F(PageTest, SliderPositionsRoundTripThroughTheFilter) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    IUnknown* pObject = filter.Get();
    HWND hDlg = Open(pObject);
    ASSERT_NE(hDlg, nullptr);
    // Every position sent by the page comes back to the same position when a page reads the
    // filter again: value and position conversions are exact inverses.
    for (int position = 0; position <= 395; ++position) {
        ReleaseSlider(Dialog(), IDC_RATE_SLIDER, position);
        double rate = 0;
        prop->GetRate(&rate);
        ASSERT_EQ(rate, (position + 5) / 100.0) << position;

        ASSERT_HR(S_OK, m_Page->Deactivate());
        ASSERT_HR(S_OK, m_Page->SetObjects(0, nullptr));
        ASSERT_HR(S_OK, m_Page->SetObjects(1, &pObject));
        ASSERT_HR(S_OK, m_Page->Activate(m_hFrame, &kPageRect, FALSE));
        ASSERT_EQ(Pos(Dialog(), IDC_RATE_SLIDER), position);
    }
}

TEST_F(PageTest, ReactivationShowsThePagesOwnCopies) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    ReleaseSlider(hDlg, IDC_TEMPO_SLIDER, 145);
    prop->SetTempo(2.0); // another client, after the page read the filter

    ASSERT_HR(S_OK, m_Page->Deactivate());
    EXPECT_EQ(Dialog(), nullptr);
    ASSERT_HR(S_OK, m_Page->Activate(m_hFrame, &kPageRect, FALSE));
    EXPECT_EQ(Pos(Dialog(), IDC_TEMPO_SLIDER), 145);
    EXPECT_EQ(Text(Dialog(), IDC_TEMPO_TEXT), "1.5");
}

TEST_F(PageTest, OnlyAReleaseOfASliderChangesAnything) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);

    // Moved by keyboard or program: no release of capture.
    SendDlgItemMessageA(hDlg, IDC_TEMPO_SLIDER, TBM_SETPOS, TRUE, 300);
    SendDlgItemMessageA(hDlg, IDC_PITCH_SLIDER, TBM_SETPOS, TRUE, 2);
    // Other notifications from the sliders, and a release reported by a control that is not
    // a slider.
    Notify(hDlg, IDC_TEMPO_SLIDER, NM_CUSTOMDRAW);
    Notify(hDlg, IDC_PITCH_SLIDER, NM_CUSTOMDRAW);
    Notify(hDlg, IDC_TEMPO_TEXT, NM_RELEASEDCAPTURE);
    // "Init" reporting something other than a click.
    SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDC_INIT, 5 /* BN_DOUBLECLICKED */),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDC_INIT)));

    const Values v = Read(prop.Get());
    EXPECT_EQ(v.tempo, 1.0);
    EXPECT_EQ(v.pitch, 0);
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "1.0");
    EXPECT_EQ(Text(hDlg, IDC_PITCH_TEXT), "0");
    EXPECT_EQ(Pos(hDlg, IDC_TEMPO_SLIDER), 300) << "the slider itself keeps where it was put";
}

TEST_F(PageTest, InitRestoresPageAndFilter) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    ReleaseSlider(hDlg, IDC_TEMPO_SLIDER, 145);
    ReleaseSlider(hDlg, IDC_RATE_SLIDER, 295);
    ReleaseSlider(hDlg, IDC_PITCH_SLIDER, 0);
    ASSERT_EQ(Read(prop.Get()).rate, 3.0);

    Click(hDlg, IDC_INIT);
    ExpectDefaultsShown(hDlg);
    const Values v = Read(prop.Get());
    EXPECT_EQ(v.tempo, 1.0);
    EXPECT_EQ(v.rate, 1.0);
    EXPECT_EQ(v.pitch, 0);
}

TEST_F(PageTest, ValuesBeyondTheSlidersClampTheSliderNotTheText) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    ASSERT_HR(S_OK, prop->SetTempo(5.0));
    ASSERT_HR(S_OK, prop->SetRate(0.05));
    ASSERT_HR(S_OK, prop->SetPitch(-12));
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    EXPECT_EQ(Pos(hDlg, IDC_TEMPO_SLIDER), 395);
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "5.0");
    EXPECT_EQ(Pos(hDlg, IDC_RATE_SLIDER), 0);
    EXPECT_EQ(Text(hDlg, IDC_RATE_TEXT), "0.1");
    EXPECT_EQ(Pos(hDlg, IDC_PITCH_SLIDER), 0);
    EXPECT_EQ(Text(hDlg, IDC_PITCH_TEXT), "-12");
    // Opening the page sends nothing.
    EXPECT_EQ(Read(prop.Get()).tempo, 5.0);
}

// Values another client set can make a slider's value leave the speed envelope: the filter
// refuses it, and the page shows the value in force again rather than one that is not.
TEST_F(PageTest, ARefusedValueShowsTheValueInForce) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    ASSERT_HR(S_OK, prop->SetPitch(60)); // unseen by the page

    ReleaseSlider(hDlg, IDC_TEMPO_SLIDER, 0); // 0.05 / 2^5: refused
    EXPECT_EQ(Read(prop.Get()).tempo, 1.0);
    EXPECT_EQ(Pos(hDlg, IDC_TEMPO_SLIDER), 95);
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "1.0");
    ReleaseSlider(hDlg, IDC_RATE_SLIDER, 195); // 2.0 x 2^5: refused
    EXPECT_EQ(Read(prop.Get()).rate, 1.0);
    EXPECT_EQ(Pos(hDlg, IDC_RATE_SLIDER), 95);
    EXPECT_EQ(Text(hDlg, IDC_RATE_TEXT), "1.0");

    ASSERT_HR(S_OK, prop->SetPitch(0));
    ASSERT_HR(S_OK, prop->SetRate(50.0));
    ReleaseSlider(hDlg, IDC_PITCH_SLIDER, 20); // rate 50 x 2^(10/12): refused
    EXPECT_EQ(Read(prop.Get()).pitch, 0);
    EXPECT_EQ(Pos(hDlg, IDC_PITCH_SLIDER), 10);
    EXPECT_EQ(Text(hDlg, IDC_PITCH_TEXT), "0");
    ReleaseSlider(hDlg, IDC_TEMPO_SLIDER, 145); // nothing in the way
    EXPECT_EQ(Read(prop.Get()).tempo, 1.5);
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "1.5");
}

TEST_F(PageTest, ApplyFindsNothingToApply) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    ReleaseSlider(hDlg, IDC_TEMPO_SLIDER, 145);
    prop->SetTempo(2.0); // would be overwritten by a page that applied its copy

    EXPECT_HR(S_FALSE, m_Page->IsPageDirty());
    EXPECT_HR(S_OK, m_Page->Apply());
    EXPECT_EQ(Read(prop.Get()).tempo, 2.0);
    EXPECT_EQ(m_Site->m_cStatusChanges, 0) << "the page never reports a change to the frame";
}

TEST_F(PageTest, RefusedObjectLeavesAnInertPage) {
    const ComPtr<CTestObject> object = ComPtr<CTestObject>::Attach(new CTestObject);
    CTestObject* pObject = object.Get();
    HWND hDlg = Open(pObject, E_NOINTERFACE);
    ASSERT_NE(hDlg, nullptr) << "the frame shows the page anyway";
    EXPECT_EQ(pObject->References(), 1) << "the page keeps nothing of a refused object";

    for (int id : {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER, IDC_INIT})
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, id))) << id;
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "1.0");

    // Messages a disabled control would not send still find nothing to call.
    const int queries = pObject->m_cQueries;
    ReleaseSlider(hDlg, IDC_TEMPO_SLIDER, 145);
    ReleaseSlider(hDlg, IDC_PITCH_SLIDER, 0);
    SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDC_INIT, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDC_INIT)));
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "1.0");
    EXPECT_EQ(Text(hDlg, IDC_PITCH_TEXT), "0");
    EXPECT_EQ(pObject->m_cQueries, queries);
    EXPECT_HR(S_OK, m_Page->Apply());

    Close();
    EXPECT_EQ(pObject->References(), 1);
}

TEST_F(PageTest, PageReleasesFilterAndSiteWhenTheFrameOnlyLetsGo) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    const ULONG before = RefCount(filter.Get());
    HWND hDlg = Open(filter.Get());
    ASSERT_NE(hDlg, nullptr);
    EXPECT_GT(RefCount(filter.Get()), before);
    // As Wine's frame does: no SetObjects(0, nullptr), no SetPageSite(nullptr).
    ASSERT_HR(S_OK, m_Page->Deactivate());
    m_Page.Reset();
    EXPECT_EQ(RefCount(filter.Get()), before);
    EXPECT_EQ(m_Site->References(), 1);
}

TEST_F(PageTest, PageReleasedWhileActiveTakesItsDialogAlong) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ASSERT_NE(Open(filter.Get()), nullptr);
    m_Page.Reset();
    EXPECT_EQ(Dialog(), nullptr);
}
