#ifndef Quillmesh_Core_TimeStampedData_INCLUDED
#define Quillmesh_Core_TimeStampedData_INCLUDED

#include <Eigen/Core>

namespace Quillmesh {
namespace Core {

/// What pins carry: a value and its time in seconds.
template <typename T>
struct TimeStampedData
{
    T data{};
    double time = 0.0;
};

/// The sample type of most pins: a dynamic row-major matrix of doubles.
typedef Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> RowMatrixXd;

} // namespace Core
} // namespace Quillmesh

#endif
