// The control channel's request path, as a misbehaving control program drives it: the
// input's bytes choose a sequence of operations on the channel's named objects while a real
// filter (made through the module's class factory, streaming PCM) serves: arbitrary data
// bytes in the block, with or without the mutex, through a mapping of any size; request
// signals alone or in bursts; the change, arrival and departure events; speed changes through
// the filter's own IVelomixProp racing the server; a second filter arriving and leaving; the
// block's file cut short. The named objects live in a private folder (VELOMIX_IPC_DIR).
//
// The serving filter and the control program's events are made once per process; each input
// starts from a whole block holding the values in force, with no request pending and no event
// set. After a signal the harness waits until the server has taken the request (it is then
// answered), not for a fixed time.
#include "FuzzSupport.h"

#include "NamedObjects.h"
#include "SharedBlock.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// Each request is a round trip to the server's thread, through the named objects' files (a
// few tenths of a millisecond here): a few per input.
constexpr int kMaxOperations = 8;
// The server takes a request within a fraction of a millisecond; past this bound the harness
// goes on (a server that never takes one shows as a hang of the whole input).
constexpr auto kTakeBound = std::chrono::seconds(2);

// What a control program holds: the change, arrival and departure events, the mutex open.
// Made once, with a mapping of the whole block (an input may cut the file short: a mapping
// made before can restore it).
struct Program {
    CQNamedEvent change, arrival, departure;
    CQShareMemory block;
    CQNamedMutex mutex{kVelomixMutexName}; // the harness's one thread locks through it
    Program() {
        if (!change.Create(kVelomixChangeEventName, false, false) ||
            !arrival.Create(kVelomixArrivalEventName, false, false) ||
            !departure.Create(kVelomixDepartureEventName, false, false) ||
            !block.Create(kVelomixBlockName, kVelomixBlockDataSize) || !mutex.Open(1000))
            fuzz::Broken("the control program's events, block or mutex could not be made");
    }
};

Program& TheProgram() {
    static Program program;
    return program;
}

// True while a request waits in the block. Under the mutex, where requests are placed and
// taken, so it is either pending or answered; looking takes the event, which is set again at
// once, as the server's own look does.
bool RequestPending(CQNamedEvent& request) {
    CQNamedMutex::Guard guard = TheProgram().mutex.Acquire(1000);
    if (!guard || !request.Wait(0))
        return false;
    request.Set();
    return true;
}

// Until the serving filter has taken the request: an answer that changes the block comes with
// the change event; a request of the values in force is answered silently. Either way it is
// seen taken by a look under the mutex, at growing pauses: looking without pause would keep
// the server from the mutex.
void WaitUntilTaken(CQNamedEvent& request, CQNamedEvent& change) {
    const auto end = std::chrono::steady_clock::now() + kTakeBound;
    auto pause = std::chrono::microseconds(20);
    do {
        if (!change.Wait(0))
            std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(200));
    } while (RequestPending(request) && std::chrono::steady_clock::now() < end);
}

void WriteBlock(FuzzedDataProvider& fdp, bool bLocked) {
    CQShareMemory block;
    const uint32_t size =
        fdp.ConsumeBool() ? kVelomixBlockDataSize : fdp.ConsumeIntegralInRange<uint32_t>(0, 64);
    if (!block.Open(kVelomixBlockName, size))
        return;
    const uint32_t offset = fdp.ConsumeBool() ? 0 : fdp.ConsumeIntegralInRange<uint32_t>(0, 70);
    const std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange(0, 24));
    CQNamedMutex::Guard guard;
    if (bLocked && !(guard = TheProgram().mutex.Acquire(1000)))
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
    CQNamedMutex::Guard guard = TheProgram().mutex.Acquire(1000);
    if (!guard)
        return;
    WriteBlockValues(block, VelomixValues{tempo, rate, pitch});
}

// The serving filter's request event, opened at an input's first signal and closed at its
// end, as a control program holds it while it talks to the filter.
CQNamedEvent& RequestEvent() {
    static CQNamedEvent request;
    return request;
}

void SignalRequest(int count) {
    CQNamedEvent& request = RequestEvent();
    if (!request.IsOpen() && !request.OpenExisting(kVelomixRequestEventName, false, false))
        return;
    CQNamedEvent& change = TheProgram().change;
    change.Reset();
    for (int i = 0; i < count; ++i)
        request.Set();
    WaitUntilTaken(request, change);
}

void SetEvent(const char* name) {
    CQNamedEvent event;
    if (event.OpenExisting(name, false, false))
        event.Set();
}

// The state every input starts from: the serving filter's block whole, holding the values in
// force, and no signal left from the input before.
void StartInput(fuzz::CFilterChain& chain) {
    static const bool bServing = [] {
        // The server's thread creates the request event when it begins to serve.
        const auto end = std::chrono::steady_clock::now() + kTakeBound;
        for (;;) {
            CQNamedEvent request;
            if (request.OpenExisting(kVelomixRequestEventName, false, false))
                return true;
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }();
    if (!bServing)
        fuzz::Broken("the filter does not serve the control channel");
    VelomixValues values;
    IVelomixProp* prop = chain.Prop();
    if (FAILED(prop->GetTempo(&values.dTempo)) || FAILED(prop->GetRate(&values.dRate)) ||
        FAILED(prop->GetPitch(&values.nPitch)))
        fuzz::Broken("the filter's values cannot be had");
    Program& program = TheProgram();
    {
        CQNamedMutex::Guard guard = program.mutex.Acquire(1000);
        if (!guard || !program.block.Restore() || !WriteBlockValues(program.block, values))
            fuzz::Broken("the block cannot be restored");
    }
    program.change.Reset();
    program.arrival.Reset();
    program.departure.Reset();
}

} // namespace

bool fuzz::HarnessServesChannel() {
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    {
        fuzz::CFilterChain& chain = fuzz::SharedChain(fuzz::StampMode::Plain, fuzz::Channel::On);
        // 8 kHz mono: the channel does not depend on the format, and the engine's work at a
        // change of speed (tens of milliseconds at 44.1 kHz stereo and a fuzzed tempo of 50)
        // follows the frames per second it must push.
        if (FAILED(chain.Connect(fuzz::PcmType(WAVE_FORMAT_PCM, 1, 8000, 16, 2), 2048, 2)) ||
            FAILED(chain.Run()))
            fuzz::Broken("the serving filter's connection failed");
        StartInput(chain);
        ComPtr<IBaseFilter> second;
        // 32 ms a delivery: enough for applied values to reach the engine, which is all the
        // channel needs of the audio.
        std::vector<uint8_t> pcm(512);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<uint8_t>(i * 7);

        for (int op = 0; op < kMaxOperations && fdp.remaining_bytes() > 0; ++op) {
            switch (fdp.ConsumeIntegralInRange(0, 11)) {
            case 0:
            case 1: // a request of fuzzed values
                WriteRequest(fdp);
                SignalRequest(1);
                break;
            case 2: // arbitrary bytes, under the mutex, then a request
                WriteBlock(fdp, true);
                SignalRequest(fdp.ConsumeIntegralInRange(1, 3));
                break;
            case 3: // arbitrary bytes without the mutex
                WriteBlock(fdp, false);
                if (fdp.ConsumeBool())
                    SignalRequest(1);
                break;
            case 4: // a burst of signals with no new request
                SignalRequest(fdp.ConsumeIntegralInRange(1, 8));
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
                    second = fuzz::CreateVelomix(fuzz::Channel::On);
                break;
            case 8:
                SetEvent(fdp.ConsumeBool() ? kVelomixArrivalEventName : kVelomixDepartureEventName);
                SetEvent(kVelomixChangeEventName);
                break;
            case 9: { // the block's file cut short (or grown) by someone of the same user
                const std::string file = fuzz::PrivateFolder() + "/ipc/" + kVelomixBlockName;
                if (::truncate(file.c_str(), fdp.ConsumeIntegralInRange<off_t>(0, 64)) == 0 &&
                    fdp.ConsumeBool())
                    SignalRequest(1);
                break;
            }
            default: // audio, so that applied values reach the engine
                chain.Deliver(pcm);
                break;
            }
        }
        RequestEvent().Close();
        second.Reset();
        chain.EndOfStream();
    }
    fuzz::EndInput();
    return 0;
}
