#include "BenchGraph.h"

#include <utility>

namespace bench {

bool CreateVelomix(const CModuleLoader& module, ComPtr<IBaseFilter>& filter,
                   ComPtr<IVelomixProp>& prop) {
    ComPtr<IClassFactory> factory;
    return SUCCEEDED(module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                           reinterpret_cast<void**>(&factory))) &&
           SUCCEEDED(factory->CreateInstance(nullptr, IID_IBaseFilter,
                                             reinterpret_cast<void**>(&filter))) &&
           SUCCEEDED(filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)));
}

bool BuildChain(IBaseFilter* pFilter, std::unique_ptr<CSampleProvider> pProvider,
                const CPushSource::Options& so, CCollectingSink::SampleCallback onSample,
                Chain* pChain) {
    CCollectingSink::Options sinkOptions;
    sinkOptions.bStoreSamples = false;
    sinkOptions.onSample = std::move(onSample);
    Chain& c = *pChain;
    return SUCCEEDED(CPushSource::Create(PcmType(), std::move(pProvider), so, &c.source)) &&
           SUCCEEDED(CCollectingSink::Create(MEDIATYPE_Audio, std::move(sinkOptions), &c.sink)) &&
           SUCCEEDED(CFilterGraph::Create(&c.graph)) &&
           SUCCEEDED(c.graph->AddFilter(c.source.Get(), L"source")) &&
           SUCCEEDED(c.graph->AddFilter(pFilter, L"Velomix")) &&
           SUCCEEDED(c.graph->AddFilter(c.sink.Get(), L"sink")) &&
           SUCCEEDED(pFilter->FindPin(L"In", &c.in)) &&
           SUCCEEDED(pFilter->FindPin(L"Out", &c.out)) &&
           SUCCEEDED(c.graph->ConnectDirect(c.source->OutputPin(), c.in.Get(), nullptr)) &&
           SUCCEEDED(c.graph->ConnectDirect(c.out.Get(), c.sink->InputPin(), nullptr));
}

} // namespace bench
