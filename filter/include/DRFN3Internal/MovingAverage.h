#ifndef DRFN3Internal_MovingAverage_INCLUDED
#define DRFN3Internal_MovingAverage_INCLUDED

#include <vector>

namespace DRFN3Internal {

/// Mean of the last `window` samples added (of fewer until the window has filled).
class MovingAverage
{
public:
    explicit MovingAverage(int window = 1);

    /// Forgets every sample. A window below 1 is taken as 1.
    void resize(int window);
    void add(double x);
    /// 0 before the first sample.
    double mean() const;

    int getWindow() const { return _window; }
    int getCount() const { return _count; }

private:
    int _count = 0;
    int _window = 1;
    std::vector<double> _ring;
    int _index = 0;
    double _sum = 0.0;
};

} // namespace DRFN3Internal

#endif
