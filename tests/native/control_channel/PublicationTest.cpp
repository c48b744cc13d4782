// What a filter shows other processes: its values in the shared block from its start on, and
// one change notification per effective change, none for anything else.
#include "ControlChannelTest.h"

#include <cmath>
#include <csignal>

#include "SharedBlock.h"

TEST_F(ControlChannelTest, FilterPublishesAtStartAndOnEveryEffectiveChange) {
    auto watch = ChildProcess::StartCtl({"watch", "--json"});
    ASSERT_TRUE(watch && watch->WaitForLine(R"({"event":"watching"})"));
    ComPtr<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    std::string line;
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, R"({"event":"change","tempo":1,"rate":1,"pitch":0})") << "the start publishes";
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, R"({"event":"arrival"})");
    EXPECT_EQ(Ctl({"get", "--json"}), 0) << Err();
    EXPECT_EQ(Out(), "{\"tempo\":1,\"rate\":1,\"pitch\":0}\n");
    EXPECT_EQ(SharedBlockValues(), (VelomixValues{1.0, 1.0, 0}));

    ASSERT_HR(S_OK, prop->SetTempo(1.5));
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, R"({"event":"change","tempo":1.5,"rate":1,"pitch":0})");
    EXPECT_EQ(Ctl({"get", "--json"}), 0) << Err();
    EXPECT_EQ(Out(), "{\"tempo\":1.5,\"rate\":1,\"pitch\":0}\n");
    ASSERT_HR(S_OK, prop->SetPitch(-3));
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, R"({"event":"change","tempo":1.5,"rate":1,"pitch":-3})");

    // Neither the same value again nor refused ones publish: the next thing the watcher hears
    // of is the marker's departure.
    EXPECT_HR(S_OK, prop->SetTempo(1.5));
    EXPECT_HR(S_OK, prop->SetPitch(-3));
    EXPECT_HR(E_INVALIDARG, prop->SetTempo(std::nan("")));
    EXPECT_HR(E_INVALIDARG, prop->SetRate(0.01));
    EXPECT_HR(E_INVALIDARG, prop->SetPitch(61));
    { CVelomixCommServer marker; }
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, R"({"event":"departure"})") << "a change announced where nothing changed";
    EXPECT_EQ(SharedBlockValues(), (VelomixValues{1.5, 1.0, -3}));

    prop.Reset();
    filter.Reset();
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, R"({"event":"departure"})") << "the filter's own departure";
    watch->Signal(SIGTERM);
    EXPECT_EQ(watch->Wait(), 0) << watch->Stderr();
    // The block went with the last filter that held it.
    EXPECT_EQ(Ctl({"get"}), 1);
    EXPECT_NE(Err().find("no filter is running"), std::string::npos) << Err();
}
