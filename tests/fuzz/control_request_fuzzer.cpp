// The control channel's request path, as a misbehaving control program drives it: the
// input's bytes choose a sequence of operations on the channel's named objects while a real
// filter (made through the module's class factory, streaming PCM) serves: arbitrary data
// bytes in the block, with or without the mutex, through a mapping of any size; request
// signals alone or in bursts; the change, arrival and departure events; speed changes through
// the filter's own IVelomixProp racing the server; a second filter arriving and leaving; the
// block's file cut short. The named objects live in a private folder (VELOMIX_IPC_DIR).
#include "FuzzSupport.h"

#include "NamedObjects.h"
#include "SharedBlock.h"

#include <unistd.h>

namespace {

constexpr int kMaxOperations = 32;
// How long a request may take to show: a notification normally comes at once; a request that
// changes nothing gives none, and then this is what the wait costs.
constexpr uint32_t kNotifyWaitMs = 10;

void WriteBlock(FuzzedDataProvider& fdp, bool bLocked) {
    CQShareMemory block;
    const uint32_t size =
        fdp.ConsumeBool() ? kVelomixBlockDataSize : fdp.ConsumeIntegralInRange<uint32_t>(0, 64);
    if (!block.Open(kVelomixBlockName, size))
        return;
    const uint32_t offset = fdp.ConsumeBool() ? 0 : fdp.ConsumeIntegralInRange<uint32_t>(0, 70);
    const std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange(0, 24));
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard;
    if (bLocked && !(guard = mutex.Acquire(1000)))
        return;
    block.Write(bytes.data(), offset, static_cast<uint32_t>(bytes.size()));
    uint8_t readBack[kVelomixBlockDataSize];
    block.Read(readBack, 0, sizeof readBack);
    (void)block.StoredDataSize();
}

// A well-formed request of fuzzed values, as velomixctl writes one.
void WriteRequest(FuzzedDataProvider& fdp) {
    CQShareMemory block;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize))
        return;
    const double tempo = fuzz::FuzzedFactor(fdp);
    const double rate = fuzz::FuzzedFactor(fdp);
    const int32_t pitch = fuzz::FuzzedPitch(fdp);
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(1000);
    if (!guard)
        return;
    WriteBlockValues(block, VelomixValues{tempo, rate, pitch});
}

void SignalRequest(CQNamedEvent& change, int count) {
    CQNamedEvent request;
    if (!request.OpenExisting(kVelomixRequestEventName, false, false))
        return;
    for (int i = 0; i < count; ++i)
        request.Set();
    change.Wait(kNotifyWaitMs);
}

void SetEvent(const char* name) {
    CQNamedEvent event;
    if (event.OpenExisting(name, false, false))
        event.Set();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    {
        // What a control program holds: the change, arrival and departure events.
        CQNamedEvent change, arrival, departure;
        if (!change.Create(kVelomixChangeEventName, false, false) ||
            !arrival.Create(kVelomixArrivalEventName, false, false) ||
            !departure.Create(kVelomixDepartureEventName, false, false))
            fuzz::Broken("the control program's events could not be made");
        fuzz::CFilterChain chain;
        chain.RunPlainPcm();
        ComPtr<IBaseFilter> second;
        std::vector<uint8_t> pcm(2048);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<uint8_t>(i * 7);

        for (int op = 0; op < kMaxOperations && fdp.remaining_bytes() > 0; ++op) {
            switch (fdp.ConsumeIntegralInRange(0, 11)) {
            case 0:
            case 1: // a request of fuzzed values
                WriteRequest(fdp);
                SignalRequest(change, 1);
                break;
            case 2: // arbitrary bytes, under the mutex, then a request
                WriteBlock(fdp, true);
                SignalRequest(change, fdp.ConsumeIntegralInRange(1, 3));
                break;
            case 3: // arbitrary bytes without the mutex
                WriteBlock(fdp, false);
                if (fdp.ConsumeBool())
                    SignalRequest(change, 1);
                break;
            case 4: // a burst of signals with no new request
                SignalRequest(change, fdp.ConsumeIntegralInRange(1, 8));
                break;
            case 5:
                chain.SetFuzzedSpeed(fuzz::Speed::Tempo, fdp);
                break;
            case 6:
                chain.SetFuzzedSpeed(fuzz::Speed::Rate, fdp);
                chain.SetFuzzedSpeed(fuzz::Speed::Pitch, fdp);
                break;
            case 7: // a second filter arrives or leaves
                if (second)
                    second.Reset();
                else
                    second = fuzz::CreateVelomix();
                break;
            case 8:
                SetEvent(fdp.ConsumeBool() ? kVelomixArrivalEventName : kVelomixDepartureEventName);
                SetEvent(kVelomixChangeEventName);
                break;
            case 9: { // the block's file cut short (or grown) by someone of the same user
                const std::string file = fuzz::PrivateFolder() + "/ipc/" + kVelomixBlockName;
                if (::truncate(file.c_str(), fdp.ConsumeIntegralInRange<off_t>(0, 64)) == 0 &&
                    fdp.ConsumeBool())
                    SignalRequest(change, 1);
                break;
            }
            default: // audio, so that applied values reach the engine
                chain.Deliver(pcm);
                break;
            }
        }
        second.Reset();
        chain.EndOfStream();
    }
    fuzz::CheckModuleUnloadable();
    return 0;
}
