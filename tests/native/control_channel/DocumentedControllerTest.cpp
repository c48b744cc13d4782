// A control program written from docs/control-channel.md alone, step by step, with the block's
// offsets as the document gives them and nothing of CVelomixClient or SharedBlock.h's helpers:
// if the filter and the document part ways, this is where it shows.
#include "ControlChannelTest.h"

#include <cstring>

namespace {

// The document's outcomes of "Requesting and confirming".
enum class Outcome { InForce, Refused, Superseded, Withdrawn, NoServer, Failed };

class DocumentedController {
public:
    // The block's 24 bytes (offsets as in the document's table), read under the mutex.
    bool ReadBlock(CQShareMemory& block, uint32_t& size, double& tempo, double& rate,
                   int32_t& pitch) {
        uint8_t bytes[24] = {};
        // CQShareMemory addresses the bytes after the size field; the size field on its own.
        size = block.StoredDataSize();
        if (block.Read(bytes + 4, 0, 20) != 20) {
            return false;
        }
        std::memcpy(&tempo, bytes + 4, 8);
        std::memcpy(&rate, bytes + 12, 8);
        std::memcpy(&pitch, bytes + 20, 4);
        return true;
    }

    Outcome Request(double tempo, double rate, int32_t pitch, bool bInsideEnvelope,
                    int deadlineMs) {
        CQShareMemory block;
        if (!block.Open("VELFilter_MEM", 20)) {
            return Outcome::Failed;
        }
        // 1. The request event must exist.
        CQNamedEvent svr;
        if (!svr.OpenExisting("VELFilter_SVR", false, false)) {
            return Outcome::NoServer;
        }
        // 2. The change event, from now on.
        CQNamedEvent cli;
        if (!cli.Create("VELFilter_CLI", false, false)) {
            return Outcome::Failed;
        }
        // 3. Read, write all three, set the request event before unlocking.
        uint8_t before[20] = {};
        {
            CQNamedMutex mutex("VELFilter_MUTEX");
            CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
            if (!guard || block.Read(before, 0, 20) != 20) {
                return Outcome::Failed;
            }
            uint8_t request[20];
            std::memcpy(request + 0, &tempo, 8);
            std::memcpy(request + 8, &rate, 8);
            std::memcpy(request + 16, &pitch, 4);
            if (block.Write(request, 0, 20) != 20 || !svr.Set()) {
                return Outcome::Failed;
            }
        }
        // 5. Confirm.
        for (int waited = 0;; waited += 25) {
            cli.Wait(25);
            CQNamedMutex mutex("VELFilter_MUTEX");
            CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
            uint32_t size = 0;
            double t = 0, r = 0;
            int32_t p = 0;
            if (!guard || !ReadBlock(block, size, t, r, p) || size != 20) {
                return Outcome::Failed;
            }
            const bool bPending = svr.Wait(0);
            if (bPending) {
                svr.Set();
            }
            const bool bMine = t == tempo && r == rate && p == pitch;
            if (bMine && !bPending) {
                return Outcome::InForce;
            }
            if (!bMine) {
                return bPending || bInsideEnvelope ? Outcome::Superseded : Outcome::Refused;
            }
            if (waited >= deadlineMs) {
                // 6. Withdraw.
                block.Write(before, 0, 20);
                svr.Wait(0);
                return Outcome::Withdrawn;
            }
        }
    }
};

} // namespace

TEST_F(ControlChannelTest, AControllerWrittenFromTheDocumentSteersTheFilter) {
    ComPtr<IBaseFilter> filter = CreateServingFilter();
    ASSERT_TRUE(filter);
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    DocumentedController ctl;

    // The mutex is created owned by whoever locks first, and the block's size field is the
    // filter's: 20.
    {
        CQShareMemory block;
        ASSERT_TRUE(block.Open("VELFilter_MEM", 20));
        CQNamedMutex mutex("VELFilter_MUTEX");
        CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
        ASSERT_TRUE(guard);
        uint32_t size = 0;
        double t = 0, r = 0;
        int32_t p = 7;
        ASSERT_TRUE(ctl.ReadBlock(block, size, t, r, p));
        EXPECT_EQ(size, 20u);
        EXPECT_EQ(t, 1.0);
        EXPECT_EQ(r, 1.0);
        EXPECT_EQ(p, 0);
    }

    EXPECT_EQ(ctl.Request(1.25, 0.8, -2, true, kHangMs), Outcome::InForce);
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{1.25, 0.8, -2}));
    // A combination outside the envelope is refused whole, and said at once (within one round).
    EXPECT_EQ(ctl.Request(0.05, 0.8, 60, false, 0), Outcome::Refused);
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{1.25, 0.8, -2}));
    // Two values that neither order of single changes reaches are one request.
    EXPECT_EQ(ctl.Request(0.05, 1.0, -12, true, kHangMs), Outcome::InForce);
    EXPECT_EQ(ctl.Request(50.0, 1.0, 24, true, kHangMs), Outcome::InForce);
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{50.0, 1.0, 24}));
    // A local change is published, and the document's read shows it.
    ASSERT_HR(S_OK, prop->SetPitch(12));
    EXPECT_EQ(SharedBlockValues(), (VelomixValues{50.0, 1.0, 12}));

    // Without a serving filter, step 1 stops the request before anything is written.
    prop.Reset();
    filter.Reset();
    EXPECT_NE(ctl.Request(1.0, 1.0, 0, true, kHangMs), Outcome::InForce);
}
