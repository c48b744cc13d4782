// The other side of the channel tests, run as this test binary in a child role (the remote
// tests' roles included): a filter in another process, a control program writing raw
// requests, a process of another user.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <grp.h>
#include <unistd.h>

#include "ControlChannelTest.h"
#include "ModuleLoader.h"
#include "SharedBlock.h"

namespace {

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// filter: a Velomix filter made by the module's class factory in this process. Commands on
// stdin: "get" prints "TEMPO RATE PITCH"; "tempo F", "rate F", "pitch N" call the setter and
// print its result; "another" makes a second filter and releases it again. End of input releases
// the filter; the exit code is 0 only when the module then has no object left.
int FilterRole(const std::vector<std::string>&) {
    CModuleLoader module;
    if (!module.Load(VELOMIX_MODULE_PATH)) {
        std::fprintf(stderr, "%s\n", module.Error().c_str());
        return 3;
    }
    {
        ComPtr<IClassFactory> factory;
        ComPtr<IBaseFilter> filter;
        ComPtr<IVelomixProp> prop;
        if (FAILED(module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory))) ||
            FAILED(factory->CreateInstance(nullptr, IID_IBaseFilter,
                                           reinterpret_cast<void**>(&filter))) ||
            FAILED(filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)))) {
            return 4;
        }
        factory.Reset();
        Say("started");
        std::string line;
        while (std::getline(std::cin, line)) {
            HRESULT hr = S_OK;
            if (line == "get") {
                double dTempo = 0, dRate = 0;
                int nPitch = 0;
                prop->GetTempo(&dTempo);
                prop->GetRate(&dRate);
                prop->GetPitch(&nPitch);
                char text[96];
                std::snprintf(text, sizeof text, "%.17g %.17g %d", dTempo, dRate, nPitch);
                Say(text);
                continue;
            }
            if (line == "another") {
                ComPtr<IClassFactory> again;
                ComPtr<IBaseFilter> other;
                hr = module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                           reinterpret_cast<void**>(&again));
                if (SUCCEEDED(hr)) {
                    hr = again->CreateInstance(nullptr, IID_IBaseFilter,
                                               reinterpret_cast<void**>(&other));
                }
            } else if (line.rfind("tempo ", 0) == 0) {
                hr = prop->SetTempo(std::strtod(line.c_str() + 6, nullptr));
            } else if (line.rfind("rate ", 0) == 0) {
                hr = prop->SetRate(std::strtod(line.c_str() + 5, nullptr));
            } else if (line.rfind("pitch ", 0) == 0) {
                hr = prop->SetPitch(std::atoi(line.c_str() + 6));
            } else {
                hr = E_INVALIDARG;
            }
            Say(hr == S_OK ? "ok" : Hex(hr));
        }
    }
    return module.CanUnloadNow() == S_OK ? 0 : 5;
}

// request TEMPO RATE PITCH: writes the three fields as they are (also values velomixctl would
// refuse) under the channel's mutex, then sets the request event.
int RequestRole(const std::vector<std::string>& args) {
    const double dTempo = std::strtod(args.at(0).c_str(), nullptr);
    const double dRate = std::strtod(args.at(1).c_str(), nullptr);
    const int32_t nPitch = static_cast<int32_t>(std::strtol(args.at(2).c_str(), nullptr, 10));
    CQShareMemory block;
    CQNamedEvent evRequest;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize) ||
        !evRequest.OpenExisting(kVelomixRequestEventName, false, false)) {
        return 3;
    }
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
    if (!guard) {
        return 4;
    }
    return PlaceRequest(block, evRequest, VelomixValues{dTempo, dRate, nPitch}) ? 0 : 5;
}

// request-storm MS: a control program writing requests as fast as it can for MS milliseconds;
// every fourth carries a value the filter refuses.
int RequestStormRole(const std::vector<std::string>& args) {
    CQShareMemory block;
    CQNamedEvent evRequest;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize) ||
        !evRequest.OpenExisting(kVelomixRequestEventName, false, false)) {
        return 3;
    }
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(args.at(0).c_str()));
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        double dTempo = 0.5 + (i % 7) * 0.25;
        double dRate = 0.75 + (i % 3) * 0.25;
        int32_t nPitch = (i % 5) - 2;
        switch (i % 16) {
        case 3:
            dTempo = std::nan("");
            break;
        case 7:
            dRate = 0.01;
            break;
        case 11:
            nPitch = 99;
            break;
        case 15:
            dTempo = dRate = std::numeric_limits<double>::infinity();
            break;
        default:
            break;
        }
        {
            CQNamedMutex mutex(kVelomixMutexName);
            CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
            if (!guard) {
                return 4;
            }
            PlaceRequest(block, evRequest, VelomixValues{dTempo, dRate, nPitch});
        }
    }
    Say("storm done");
    return 0;
}

// refused-then-valid N: N times, a request the filter refuses (tempo NaN, rate 1, pitch 0),
// then after a pause of 0 to 200 us a valid one (tempo 1 + i/1000 for the i-th, from 1); waits
// until the filter has published each valid one. Prints "lost I" and exits 1 when one is not
// in force within 2 s.
int RefusedThenValidRole(const std::vector<std::string>& args) {
    CQShareMemory block;
    CQNamedEvent evRequest;
    CQNamedEvent evChange;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize) ||
        !evRequest.OpenExisting(kVelomixRequestEventName, false, false) ||
        !evChange.Create(kVelomixChangeEventName, false, false)) {
        return 3;
    }
    // Writes a request; a notification pending from before is dropped under the mutex, as
    // publications set it under the mutex: any later one follows this request.
    auto write = [&](double dTempo) {
        const double dRate = 1.0;
        const int32_t nPitch = 0;
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
        if (!guard) {
            return false;
        }
        evChange.Wait(0);
        return PlaceRequest(block, evRequest, VelomixValues{dTempo, dRate, nPitch});
    };
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> pauseUs(0, 200);
    const int count = std::atoi(args.at(0).c_str());
    for (int i = 1; i <= count; ++i) {
        const double dTempo = 1.0 + i / 1000.0;
        if (!write(std::nan(""))) {
            return 4;
        }
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(pauseUs(gen));
        while (std::chrono::steady_clock::now() < until) {
        }
        if (!write(dTempo)) {
            return 4;
        }
        // In force once a publication after the write shows it.
        for (;;) {
            if (!evChange.Wait(2000)) {
                Say("lost " + std::to_string(i));
                return 1;
            }
            CQNamedMutex mutex(kVelomixMutexName);
            CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
            double dNow = 0;
            if (guard && block.Read(&dNow, kVelomixTempoOffset, 8) == 8 && dNow == dTempo) {
                break;
            }
        }
    }
    return 0;
}

// as-user UID PROGRAM ARGS...: becomes that user, then runs the program (its exit code).
int AsUserRole(const std::vector<std::string>& args) {
    const uid_t uid = static_cast<uid_t>(std::atoi(args.at(0).c_str()));
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        std::fprintf(stderr, "cannot become uid %u: %s\n", static_cast<unsigned>(uid),
                     std::strerror(errno));
        return 100;
    }
    std::vector<std::string> argv(args.begin() + 1, args.end());
    std::vector<char*> argp;
    for (std::string& s : argv) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);
    execv(argp[0], argp.data());
    std::fprintf(stderr, "cannot run %s as uid %u: %s\n", argp[0], static_cast<unsigned>(uid),
                 std::strerror(errno));
    return 101;
}

} // namespace

int RunGroupRole(const std::string& role, const std::vector<std::string>& args) {
    if (role == "filter") {
        return FilterRole(args);
    }
    if (role == "request") {
        return RequestRole(args);
    }
    if (role == "request-storm") {
        return RequestStormRole(args);
    }
    if (role == "refused-then-valid") {
        return RefusedThenValidRole(args);
    }
    if (role == "as-user") {
        return AsUserRole(args);
    }
    return RunRemoteRole(role, args);
}
