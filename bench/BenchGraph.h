// What the graph benchmarks share: a Velomix filter made by the module's class factory, as a
// host makes one, and a graph around it: a push source of Input()'s type -> the filter -> a
// sink that keeps no samples.
#pragma once

#include "BenchSignal.h"

#include "ComPtr.h"
#include "ModuleLoader.h"
#include "control/IVelomixProp.h"
#include "posix/CollectingSink.h"
#include "posix/FilterGraph.h"
#include "posix/PushSource.h"

#include <memory>

namespace bench {

// A new filter of the loaded module into filter, its IVelomixProp into prop; false when a step
// fails.
bool CreateVelomix(const CModuleLoader& module, ComPtr<IBaseFilter>& filter,
                   ComPtr<IVelomixProp>& prop);

// A connected, stopped graph. The graph goes first when a Chain is destroyed.
struct Chain {
    ComPtr<IPin> in, out; // the filter's pins
    ComPtr<CPushSource> source;
    ComPtr<CCollectingSink> sink;
    ComPtr<CFilterGraph> graph;
};

// Builds source (PcmType(), fed by pProvider, asking for so) -> pFilter -> sink (onSample, if
// any, sees every sample) into *pChain; false when a step fails.
bool BuildChain(IBaseFilter* pFilter, std::unique_ptr<CSampleProvider> pProvider,
                const CPushSource::Options& so, CCollectingSink::SampleCallback onSample,
                Chain* pChain);

} // namespace bench
