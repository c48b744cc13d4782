// The mapper's entries and their lookup by media type, with setup records of the test's own.
#include "RegistrationTest.h"

#include "FilterData.h"
#include "FilterMapper.h"
#include "GuidText.h"
#include "media.h"

namespace {

// {5E1F0C2A-7B44-4C1D-9A0E-3F6D2B8C7A01} and following: test filters only.
DEFINE_GUID(kClsidNormal, 0x5E1F0C2A, 0x7B44, 0x4C1D, 0x9A, 0x0E, 0x3F, 0x6D, 0x2B, 0x8C, 0x7A,
            0x01);
DEFINE_GUID(kClsidPreferred, 0x5E1F0C2A, 0x7B44, 0x4C1D, 0x9A, 0x0E, 0x3F, 0x6D, 0x2B, 0x8C, 0x7A,
            0x02);
DEFINE_GUID(kClsidOutputOnly, 0x5E1F0C2A, 0x7B44, 0x4C1D, 0x9A, 0x0E, 0x3F, 0x6D, 0x2B, 0x8C, 0x7A,
            0x03);
DEFINE_GUID(kClsidVideo, 0x5E1F0C2A, 0x7B44, 0x4C1D, 0x9A, 0x0E, 0x3F, 0x6D, 0x2B, 0x8C, 0x7A,
            0x04);
DEFINE_GUID(kClsidAlsoNormal, 0x5E1F0C2A, 0x7B44, 0x4C1D, 0x9A, 0x0E, 0x3F, 0x6D, 0x2B, 0x8C, 0x7A,
            0x05);

const AMOVIESETUP_MEDIATYPE kPcm[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};
const AMOVIESETUP_MEDIATYPE kAnyAudio[] = {{&MEDIATYPE_Audio, nullptr}};
const AMOVIESETUP_MEDIATYPE kVideoAndFloat[] = {{&MEDIATYPE_Video, &GUID_NULL},
                                                {&MEDIATYPE_Audio, &MEDIASUBTYPE_IEEE_FLOAT}};

const AMOVIESETUP_PIN kPcmIn[] = {
    {const_cast<LPWSTR>(L"In"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPcm}};
const AMOVIESETUP_PIN kAnyAudioIn[] = {
    {const_cast<LPWSTR>(L"In"), TRUE, FALSE, TRUE, TRUE, &CLSID_NULL, nullptr, 1, kAnyAudio}};
const AMOVIESETUP_PIN kPcmOut[] = {
    {const_cast<LPWSTR>(L"Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPcm}};
const AMOVIESETUP_PIN kVideoIn[] = {
    {const_cast<LPWSTR>(L"Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPcm},
    {const_cast<LPWSTR>(L"In"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 2,
     kVideoAndFloat}};

const AMOVIESETUP_FILTER kNormal = {&kClsidNormal, L"Normal", MERIT_NORMAL, 1, kPcmIn};
const AMOVIESETUP_FILTER kPreferred = {&kClsidPreferred, L"Preferred \u00e9", MERIT_PREFERRED, 1,
                                       kAnyAudioIn};
const AMOVIESETUP_FILTER kOutputOnly = {&kClsidOutputOnly, L"Output only", 0xFFFFFFFF, 1, kPcmOut};
const AMOVIESETUP_FILTER kVideo = {&kClsidVideo, L"Video", MERIT_UNLIKELY, 2, kVideoIn};
const AMOVIESETUP_FILTER kAlsoNormal = {&kClsidAlsoNormal, L"Also normal", MERIT_NORMAL, 1, kPcmIn};

} // namespace

class FilterMapper : public RegistrationTest {
protected:
    void RegisterAll() {
        CFilterMapper mapper;
        ASSERT_HR(S_OK, mapper.Create());
        for (const AMOVIESETUP_FILTER* f :
             {&kNormal, &kPreferred, &kOutputOnly, &kVideo, &kAlsoNormal})
            ASSERT_HR(S_OK, mapper.RegisterFilter(*f));
    }
    static std::vector<CLSID> Find(REFGUID major, REFGUID sub) {
        std::vector<CLSID> found;
        EXPECT_HR(S_OK, FindFiltersByMediaType(major, sub, &found));
        return found;
    }
};

TEST_F(FilterMapper, LookupByInputTypeHighestMeritFirst) {
    RegisterAll();
    // A null subtype registered matches every subtype; output pins never match.
    EXPECT_EQ(Find(MEDIATYPE_Audio, MEDIASUBTYPE_PCM),
              (std::vector<CLSID>{kClsidPreferred, kClsidNormal, kClsidAlsoNormal}));
    EXPECT_EQ(Find(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT),
              (std::vector<CLSID>{kClsidPreferred, kClsidVideo}));
    // A null GUID asked for matches every registered one.
    EXPECT_EQ(Find(MEDIATYPE_Video, GUID_NULL), std::vector<CLSID>{kClsidVideo});
    EXPECT_EQ(Find(GUID_NULL, GUID_NULL),
              (std::vector<CLSID>{kClsidPreferred, kClsidNormal, kClsidAlsoNormal, kClsidVideo}));
    EXPECT_TRUE(Find(MEDIATYPE_Stream, MEDIASUBTYPE_WAVE).empty());

    std::vector<FilterMapperEntry> entries;
    ASSERT_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, &entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "Preferred \xc3\xa9");
    EXPECT_EQ(entries[0].dwMerit, DWORD{MERIT_PREFERRED});
}

TEST_F(FilterMapper, UnregisterRemovesTheEntryAndReportsAMissingOne) {
    RegisterAll();
    CFilterMapper mapper;
    ASSERT_HR(S_OK, mapper.Create());
    EXPECT_HR(S_OK, mapper.UnregisterFilter(kClsidPreferred));
    EXPECT_HR(static_cast<HRESULT>(0x80070002), mapper.UnregisterFilter(kClsidPreferred));
    EXPECT_EQ(Find(MEDIATYPE_Audio, MEDIASUBTYPE_PCM),
              (std::vector<CLSID>{kClsidNormal, kClsidAlsoNormal}));
}

TEST_F(FilterMapper, BrokenEntriesAreSkippedNotFatal) {
    RegisterAll();
    // Another program's entries that cannot be read are passed over.
    CRegKey bad;
    ASSERT_EQ(bad.OpenForWrite(RegHive::ClassesRoot, FilterInstanceKey(kClsidNormal)),
              ERROR_SUCCESS);
    const BYTE junk[] = {2, 0, 0, 0, 1, 2, 3};
    ASSERT_EQ(bad.SetValue("FilterData", kRegBinary, junk, sizeof(junk)), ERROR_SUCCESS);
    ASSERT_EQ(bad.OpenForWrite(RegHive::ClassesRoot, FilterInstanceKey(kClsidAlsoNormal)),
              ERROR_SUCCESS);
    ASSERT_EQ(bad.SetString("CLSID", std::string("not a class identifier")), ERROR_SUCCESS);
    EXPECT_EQ(Find(MEDIATYPE_Audio, MEDIASUBTYPE_PCM), std::vector<CLSID>{kClsidPreferred});
    // An unreadable store is an error, not an empty answer.
    ASSERT_TRUE(WriteWholeFile(HiveFolder(RegHive::ClassesRoot) + "/hive.reg", "not a hive\n"));
    std::vector<CLSID> found;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_BADDB),
              FindFiltersByMediaType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, &found));
    EXPECT_HR(E_POINTER, FindFiltersByMediaType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, nullptr));
}

TEST(FilterData, EncodesTheVersionTwoLayout) {
    const std::vector<BYTE> data = EncodeFilterData(kVideo);
    // Header, two pins of 24 bytes with 1 and 2 types of 16, then five distinct GUIDs (the
    // audio major type serves two types and is stored once).
    ASSERT_EQ(data.size(), 16u + 24 + 16 + 24 + 2 * 16 + 5 * 16);
    auto dword = [&](size_t at) {
        return static_cast<DWORD>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                  static_cast<DWORD>(data[at + 3]) << 24);
    };
    EXPECT_EQ(dword(0), 2u);
    EXPECT_EQ(dword(4), DWORD{MERIT_UNLIKELY});
    EXPECT_EQ(dword(8), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[16]), 4), "0pi3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[56]), 4), "1pi3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[80]), 4), "0ty3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[96]), 4), "1ty3");

    FilterDataRecord record;
    ASSERT_TRUE(DecodeFilterData(data.data(), data.size(), &record));
    ASSERT_EQ(record.pins.size(), 2u);
    EXPECT_EQ(record.pins[0].dwFlags, kPinFlagOutput);
    EXPECT_EQ(record.pins[1].dwFlags, 0u);
    ASSERT_EQ(record.pins[1].types.size(), 2u);
    EXPECT_EQ(record.pins[1].types[0], std::make_pair(MEDIATYPE_Video, GUID_NULL));
    EXPECT_EQ(record.pins[1].types[1], std::make_pair(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT));

    const std::vector<BYTE> flags = EncodeFilterData(kPreferred);
    ASSERT_TRUE(DecodeFilterData(flags.data(), flags.size(), &record));
    EXPECT_EQ(record.pins[0].dwFlags, kPinFlagRenderer | kPinFlagZero | kPinFlagMany);
    EXPECT_EQ(record.pins[0].types[0], std::make_pair(MEDIATYPE_Audio, GUID_NULL));
}

TEST(FilterData, MalformedRecordsAreRefused) {
    const std::vector<BYTE> good = EncodeFilterData(kVideo);
    FilterDataRecord record;
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(DecodeFilterData(good.data(), cut, &record)) << "cut at " << cut;

    auto damaged = [&](size_t at, DWORD value) {
        std::vector<BYTE> bad = good;
        for (int i = 0; i < 4; ++i)
            bad[at + i] = static_cast<BYTE>(value >> (8 * i));
        return DecodeFilterData(bad.data(), bad.size(), &record);
    };
    EXPECT_FALSE(damaged(0, 1));                                    // version
    EXPECT_FALSE(damaged(8, 0x10000000));                           // pin count
    EXPECT_FALSE(damaged(16, 0x33587030));                          // pin signature "0pX3"
    EXPECT_FALSE(damaged(28, 0x01000000));                          // type count
    EXPECT_FALSE(damaged(32, 5));                                   // medium offsets past the end
    EXPECT_FALSE(damaged(48, static_cast<DWORD>(good.size() - 8))); // major GUID past the end
    // A pin category is read through its offset, as Windows writes it.
    EXPECT_FALSE(damaged(36, 1));
    EXPECT_TRUE(damaged(20, kPinFlagMany)); // flags are data, not structure
}
