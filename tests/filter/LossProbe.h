#ifndef FilterTests_LossProbe_INCLUDED
#define FilterTests_LossProbe_INCLUDED

#include "DRFN3Internal/DriftnodeOutputs.h"

#include <cstdint>
#include <vector>

namespace FilterTests {

/// A probe of the test's own on one output pin, keeping every value in order.
struct Probe
{
    Quillmesh::Core::PinManager owner{"probe"};
    DRFN3Internal::MatrixInputPin pin{"probe", &owner};

    explicit Probe(Quillmesh::Core::AbstractOutputPin& source, int depth = 4096)
    {
        pin.setBufferSize(depth);
        pin.setIsLifo(false);
        source.attach(pin);
    }
    std::vector<DRFN3Internal::MatrixInputPin::Data> drain()
    {
        std::vector<DRFN3Internal::MatrixInputPin::Data> all;
        for (const DRFN3Internal::MatrixInputPin::Data* data; (data = pin.getData()); pin.release())
            all.push_back(*data);
        return all;
    }
};

/// What one pod's frame information pin carried: samples, the loss ratios they reported
/// (summed, to be weighed by frame), and the first, last and latest frame count. A damaged
/// frame number taken for a jump would show in both the loss and the span of counts.
struct LossProbe
{
    Quillmesh::Core::PinManager owner{"probe"};
    DRFN3Internal::MatrixInputPin pin{"probe", &owner};
    std::uint64_t samples = 0;
    double lossSum = 0;
    double firstCount = -1;
    double lastCount = -1;
    /// Counted or not.
    double latestCount = -1;

    LossProbe(Quillmesh::Core::AbstractOutputPin& source, int bufferSize)
    {
        pin.setBufferSize(bufferSize);
        pin.setIsLifo(false);
        source.attach(pin);
    }
    /// Takes everything waiting; only counted samples go into the figures.
    void drain(bool count)
    {
        while (const auto* data = pin.getData())
        {
            latestCount = data->data(0, 0);
            if (count)
            {
                ++samples;
                lossSum += data->data(1, 0);
                if (firstCount < 0) firstCount = data->data(0, 0);
                lastCount = data->data(0, 0);
            }
            pin.release();
        }
    }
};

} // namespace FilterTests

#endif
