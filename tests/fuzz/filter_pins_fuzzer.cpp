// The speed filter through its pins: a media type from the input's bytes (format block, sizes,
// tags, WAVEFORMATEXTENSIBLE), then a sequence of operations, each chosen by the next byte:
// samples of fuzzed sizes, lengths, flags and times (through the connection's allocator or a
// sample of our own that lies about its sizes), speed changes through IVelomixProp, flushes,
// end of stream, new segments, state changes and reconnection with another type; the filter made
// in each of its stamp modes (once per process each, reset after every input).
//
// Work per input is bounded (operations and bytes), so a slow unit is a finding of its own. The
// audio per input is short: faults lie in the sequence of operations and the stamps, and a
// longer stream only costs time.
#include "FuzzSupport.h"

#include <algorithm>
#include <string>

namespace {

constexpr int kMaxOperations = 64;
constexpr size_t kMaxBytesPerRun = 16 * 1024;

void Connect(fuzz::CFilterChain& chain, FuzzedDataProvider& fdp) {
    const CMediaType mt = fuzz::FuzzedType(fdp);
    const LONG cbBuffer = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<LONG>(1, 65536)
                                            : fdp.ConsumeIntegralInRange<LONG>(1, 4096);
    const LONG cBuffers = fdp.ConsumeIntegralInRange<LONG>(1, 4);
    chain.Connect(mt, cbBuffer, cBuffers);
}

fuzz::CFilterChain::SampleDesc Describe(FuzzedDataProvider& fdp,
                                        const std::vector<uint8_t>& payload) {
    fuzz::CFilterChain::SampleDesc s;
    s.pData = payload.data();
    s.cbData = static_cast<LONG>(payload.size());
    const uint8_t flags = fdp.ConsumeIntegral<uint8_t>();
    s.bTime = flags & 1;
    s.bStop = flags & 2;
    s.bMediaTime = flags & 4;
    s.bSync = flags & 8;
    s.bDiscontinuity = flags & 16;
    s.bPreroll = flags & 32;
    if (s.bTime) {
        s.tStart = fdp.ConsumeIntegral<REFERENCE_TIME>();
        // Near the start (wrapping at the ends of the range), or anything.
        const REFERENCE_TIME delta = fdp.ConsumeIntegralInRange<REFERENCE_TIME>(-10, 10000000);
        s.tStop = fdp.ConsumeBool() ? static_cast<REFERENCE_TIME>(static_cast<uint64_t>(s.tStart) +
                                                                  static_cast<uint64_t>(delta))
                                    : fdp.ConsumeIntegral<REFERENCE_TIME>();
    }
    if (s.bMediaTime) {
        s.mtStart = fdp.ConsumeIntegral<LONGLONG>();
        s.mtStop = fdp.ConsumeIntegral<LONGLONG>();
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    {
        fuzz::CFilterChain& chain =
            fuzz::SharedChain(static_cast<fuzz::StampMode>(fdp.ConsumeIntegral<uint8_t>() & 3));
        Connect(chain, fdp);
        if (fdp.ConsumeBool())
            chain.Run();
        size_t bytes = 0;
        for (int op = 0; op < kMaxOperations && fdp.remaining_bytes() > 0; ++op) {
            const int what = fdp.ConsumeIntegralInRange(0, 15);
            switch (what) {
            case 0:
            case 1:
            case 2:
            case 3: { // a sample of the connection's allocator
                // Samples of our own count too, and may have used up the budget.
                const size_t cb = std::min(fdp.ConsumeIntegralInRange<size_t>(0, 65536),
                                           bytes < kMaxBytesPerRun ? kMaxBytesPerRun - bytes : 0);
                bytes += cb;
                std::vector<uint8_t> payload = fdp.ConsumeBytes<uint8_t>(std::min<size_t>(cb, 512));
                payload.resize(cb,
                               static_cast<uint8_t>(cb)); // a pattern beyond what the input holds
                fuzz::CFilterChain::SampleDesc s = Describe(fdp, payload);
                CMediaType change;
                if (fdp.ConsumeIntegralInRange(0, 15) == 0) {
                    change = fuzz::FuzzedType(fdp);
                    s.pType = &change;
                }
                chain.Deliver(s);
                break;
            }
            case 4: { // a sample of our own, sizes as it pleases
                const LONG cbSize = fdp.ConsumeIntegralInRange<LONG>(-16, 8192);
                const LONG lActual = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<LONG>(-16, 8192)
                                                       : fdp.ConsumeIntegral<LONG>();
                bytes += static_cast<size_t>(std::max<LONG>(cbSize, 0));
                const std::vector<uint8_t> payload = fdp.ConsumeBytes<uint8_t>(256);
                chain.DeliverForeign(Describe(fdp, payload), cbSize, lActual);
                break;
            }
            case 5:
            case 6:
            case 7: // tempo, rate or pitch
                chain.SetFuzzedSpeed(static_cast<fuzz::Speed>(what - 5), fdp);
                break;
            case 8:
                chain.BeginFlush();
                if (fdp.ConsumeBool())
                    chain.EndFlush();
                break;
            case 9:
                chain.EndFlush();
                break;
            case 10:
                chain.EndOfStream();
                break;
            case 11: {
                const REFERENCE_TIME tStart = fdp.ConsumeIntegral<REFERENCE_TIME>();
                const REFERENCE_TIME tStop = fdp.ConsumeIntegral<REFERENCE_TIME>();
                // 1.0, a player's rate around the range the filter plays, or anything.
                const int kind = fdp.ConsumeIntegralInRange(0, 2);
                const double rate = kind == 0   ? 1.0
                                    : kind == 1 ? fdp.ConsumeFloatingPointInRange(0.04, 51.0)
                                                : fdp.ConsumeFloatingPoint<double>();
                chain.NewSegment(tStart, tStop, rate);
                break;
            }
            case 12:
                switch (fdp.ConsumeIntegralInRange(0, 2)) {
                case 0:
                    chain.Stop();
                    break;
                case 1:
                    chain.Pause();
                    break;
                default:
                    chain.Run();
                    break;
                }
                break;
            case 13:
                Connect(chain, fdp);
                if (fdp.ConsumeBool())
                    chain.Run();
                break;
            case 14: {
                double d = 0;
                int n = 0;
                chain.Prop()->GetTempo(&d);
                chain.Prop()->GetRate(&d);
                chain.Prop()->GetPitch(&n);
                chain.Prop()->GetTempo(nullptr);
                break;
            }
            default: { // the pin's own questions
                IPin* const pIn = chain.FilterInput();
                ComPtr<IMemInputPin> input;
                if (SUCCEEDED(
                        pIn->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input)))) {
                    ALLOCATOR_PROPERTIES props{};
                    input->GetAllocatorRequirements(&props);
                    input->ReceiveCanBlock();
                    const CMediaType mt = fuzz::FuzzedType(fdp);
                    pIn->QueryAccept(&mt);
                }
                break;
            }
            }
        }
        if (fdp.ConsumeBool())
            chain.EndOfStream();
    }
    fuzz::EndInput();
    return 0;
}
