// The cross-process control channel of the speed filter: object names and the layout of the
// 24-byte shared block. Both ends (the filter's control server and a control program) use
// these definitions; the names and the layout are a published protocol and never change.
//
// Protocol, as the filter side keeps it (written out for third parties, with the confirm
// sequence and the time-outs, in docs/control-channel.md; CVelomixClient implements it):
// - read the values: lock "VELFilter_MUTEX", read block bytes 4..23, unlock;
// - request values: lock, write all three fields, unlock, then open "VELFilter_SVR" and set
//   it; the serving filter applies all three (unchanged fields must be written unchanged);
// - "VELFilter_CLI" (if a control program created it) is set after every publication of
//   any filter; "VELFilter_CONSVR" when a filter starts serving (also when it takes over from
//   one that left); "VELFilter_DCONSVR" when a filter is destroyed. Each is auto-reset and
//   wakes one waiter: a client confirms by reading the block, not by counting signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "NamedObjects.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The shared block is little-endian and copied as is; this target is not."
#endif

// Guards every access to the block.
constexpr char kVelomixMutexName[] = "VELFilter_MUTEX";
// The shared block (a 24-byte paging-file mapping).
constexpr char kVelomixBlockName[] = "VELFilter_MEM";
// Request event, auto-reset; exists while a filter serves requests.
constexpr char kVelomixRequestEventName[] = "VELFilter_SVR";
// Change notification, created by a control program.
constexpr char kVelomixChangeEventName[] = "VELFilter_CLI";
// Server arrival, created by a control program.
constexpr char kVelomixArrivalEventName[] = "VELFilter_CONSVR";
// Server departure, created by a control program.
constexpr char kVelomixDepartureEventName[] = "VELFilter_DCONSVR";

#pragma pack(push, 1)
// The block as it lies in memory. Fields are unaligned (the rate at offset 12): copy them
// with memcpy or CQShareMemory::Read/Write, never through a pointer to a member.
struct VelomixSharedBlock {
    uint32_t dwDataSize; // bytes after this header: 20, written by every filter that maps it
                         // and again at every publication and request
    double dTempo;       // tempo factor, 1.0 normal
    double dRate;        // rate factor, 1.0 normal
    int32_t nPitch;      // pitch shift in semitones, 0 none
};
#pragma pack(pop)

static_assert(sizeof(VelomixSharedBlock) == 24, "the block is 24 bytes");
static_assert(offsetof(VelomixSharedBlock, dwDataSize) == 0, "header at 0");
static_assert(offsetof(VelomixSharedBlock, dTempo) == 4, "tempo at 4");
static_assert(offsetof(VelomixSharedBlock, dRate) == 12, "rate at 12");
static_assert(offsetof(VelomixSharedBlock, nPitch) == 20, "pitch at 20");
static_assert(sizeof(double) == 8, "IEEE 754 double precision");

// Data part: the bytes after the header, addressed from the first data byte.
constexpr uint32_t kVelomixBlockDataSize = 20;
constexpr uint32_t kVelomixTempoOffset = 0;
constexpr uint32_t kVelomixRateOffset = 8;
constexpr uint32_t kVelomixPitchOffset = 16;
static_assert(kVelomixBlockDataSize == sizeof(VelomixSharedBlock) - 4, "data after header");
static_assert(kVelomixTempoOffset == offsetof(VelomixSharedBlock, dTempo) - 4, "tempo");
static_assert(kVelomixRateOffset == offsetof(VelomixSharedBlock, dRate) - 4, "rate");
static_assert(kVelomixPitchOffset == offsetof(VelomixSharedBlock, nPitch) - 4, "pitch");

// Tempo, rate and pitch as the block holds them.
struct VelomixValues {
    double dTempo = 1.0;
    double dRate = 1.0;
    int32_t nPitch = 0;

    // Bit for bit, as the block compares: a request is in force when the block holds its bytes.
    bool operator==(const VelomixValues& o) const {
        return std::memcmp(&dTempo, &o.dTempo, sizeof dTempo) == 0 &&
               std::memcmp(&dRate, &o.dRate, sizeof dRate) == 0 && nPitch == o.nPitch;
    }
    bool operator!=(const VelomixValues& o) const { return !(*this == o); }
};

// The only readers and writers of the block's fields; the caller holds "VELFilter_MUTEX".
// The values come whole or not at all: a block cut short (a truncated file) reads as false.
inline bool ReadBlockValues(const CQShareMemory& block, VelomixValues& values) noexcept {
    uint8_t data[kVelomixBlockDataSize];
    if (block.Read(data, 0, sizeof data) != sizeof data) {
        return false;
    }
    std::memcpy(&values.dTempo, data + kVelomixTempoOffset, sizeof values.dTempo);
    std::memcpy(&values.dRate, data + kVelomixRateOffset, sizeof values.dRate);
    std::memcpy(&values.nPitch, data + kVelomixPitchOffset, sizeof values.nPitch);
    return true;
}

// Writes all three fields in one write.
inline bool WriteBlockValues(CQShareMemory& block, const VelomixValues& values) noexcept {
    uint8_t data[kVelomixBlockDataSize];
    std::memcpy(data + kVelomixTempoOffset, &values.dTempo, sizeof values.dTempo);
    std::memcpy(data + kVelomixRateOffset, &values.dRate, sizeof values.dRate);
    std::memcpy(data + kVelomixPitchOffset, &values.nPitch, sizeof values.nPitch);
    return block.Write(data, 0, sizeof data) == sizeof data;
}

// Places a request: writes all three fields and sets "VELFilter_SVR" (evRequest, opened as an
// existing event) before the mutex goes, so that nobody who takes the mutex next finds the
// request's bytes without the request pending. The caller holds "VELFilter_MUTEX".
inline bool PlaceRequest(CQShareMemory& block, CQNamedEvent& evRequest,
                         const VelomixValues& request) noexcept {
    return WriteBlockValues(block, request) && evRequest.Set();
}
