#ifndef DRFN3Internal_FilterOrientation_INCLUDED
#define DRFN3Internal_FilterOrientation_INCLUDED

#include "DRFN3Internal/OrientationEstimator.h"

#include "Quillmesh/Core/CommandProperty.h"
#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/TimeStampedData.h"
#include "Quillmesh/Core/ValueProperty.h"

#include <string>

namespace DRFN3Internal {

/// The orientation of one pod, from the pod's pins of a FilterDRFN3: an OrientationEstimator
/// (see there for the frames, units and the algorithm) driven by the samples that arrive.
///
/// Input pins, named as the pod's output pins of FilterDRFN3 without the "#0x..." suffix and
/// created in the same order: "3a", "3aGain", "3aOff", "3m", "3mGain", "3mOff", "3g",
/// "3gGain", "3gOff". Samples are raw counts (3x1), gains 3x3, offsets 3x1; the calibration
/// is applied as everywhere else: calibrated = gain x raw - offset. The sample inputs queue
/// up to 256 values (oldest dropped first), the calibration inputs keep the latest.
///
/// Output pins, one value each per accelerometer sample, stamped with that sample's time
/// (PinNames.h spells the names):
/// - "Quat" 4x1: w, x, y, z, pod to world (x magnetic north, y west, z up);
/// - "RPY" 3x1: roll, pitch, yaw in degrees;
/// - "Mode" 1x1: what this estimate used, added: 1 accelerometer (not rejected), 2
///   magnetometer (not rejected, not 6-axis), 4 gyroscope. Without 4 the gyroscope is
///   missing and the orientation comes from the accelerometer and magnetometer alone;
/// - "GyroBias" 3x1: the gyroscope bias estimate, rad/s.
///
/// Properties, in creation order (all saved but the command):
/// - "Gain" (number, 2): the correction gain in 1/s, above 0;
/// - "Mag On" (bool, 1): off is 6-axis mode;
/// - "Acc Rejection" (number, 2): m/s^2, 0 never rejects;
/// - "Mag Rejection" (number, 5): uT, 0 never rejects;
/// - "Gyro Bias On" (bool, 1): estimate the gyroscope bias (off: take the gyroscope as it reads);
/// - "Reset" (command): forget the orientation and the bias; the next sample starts afresh.
///
/// What process() does: takes the latest gains and offsets, then every queued accelerometer
/// sample in order, with the magnetometer and gyroscope samples of the same time (those
/// without an accelerometer sample are dropped). A sensor counts as missing for that sample
/// when its pin has no sample of that time, its calibration is unusable (gain all zero or
/// not finite), or for the gyroscope when its counts have been exactly 0, 0, 0 three times
/// in a row (a pod whose gyroscope is off sends zeros). Nothing is published for a sample
/// whose accelerometer calibration is unusable, nor before the estimate has started. Times
/// come from the pins, so lost frames are bridged by the real time step, the frame counter's
/// wrap is already unwrapped by FilterDRFN3, and a time that goes back (a new transmission)
/// makes the estimate start afresh from that sample.
///
/// Wiring one per pod, as a host does it with the host layer (names from PinNames.h):
///
///     HostedFilter drfn3("FilterDRFN3", "drfn3");          // the network, pods set up
///     HostedFilter orientation("FilterOrientation", "orientation#0xA10001");
///     Filter& source = drfn3.getFilter();
///     Filter& target = orientation.getFilter();
///     const std::string suffix = PinNames::suffix(0xA10001);
///     for (int s = 0; s < 3; ++s)
///         for (const char* name : {PinNames::SAMPLES[s], PinNames::GAINS[s], PinNames::OFFSETS[s]})
///         {
///             AbstractInputPin& input = *target.findInputPin(name);
///             input.setIsSynchronous(true);        // optional, see below
///             source.findOutputPin(name + suffix)->attach(input);
///         }
///     InputPin<RowMatrixXd>& quat = orientation.tap<RowMatrixXd>(PinNames::QUATERNION, 256, false, true);
///     ...
///     drfn3.process();          // one frame
///     orientation.process();    // everything that frame (or frames) brought
///     // read quat (and "RPY", "Mode") as the other probes
///
/// - FilterDRFN3 makes a pod's pins when the pod joins its network (setting "serial") and
///   destroys them when it leaves, which unlinks them: link after the network is set, and
///   again after it changed (an input's getSource() is null once its output is gone).
/// - OutputPin::attach takes both filters' synchronizers: call it holding neither (not from
///   inside a process() or a property handler).
/// - The same thread calling both process() may make the inputs synchronous before linking,
///   as above: their buffers then take no lock. Otherwise leave them as they are (each
///   buffer has a lock of its own).
/// - Call this filter's process() at least once per 256 frames of its pod, after FilterDRFN3's:
///   frames beyond the queues' depth are dropped oldest first, and the estimate then bridges
///   the gap as a frame loss.
class FilterOrientation : public Quillmesh::Core::Filter
{
public:
    static constexpr const char* TYPE_NAME = "FilterOrientation";
    /// Depth of the sample input queues.
    static constexpr std::size_t QUEUE_DEPTH = 256;

    explicit FilterOrientation(const std::string& name);
    ~FilterOrientation() override;

    void process() override;
    std::string getTypeName() const override;

    /// The estimator this filter drives; for inspection, under the filter's synchronizer.
    const OrientationEstimator& estimator() const { return _estimator; }

private:
    typedef Quillmesh::Core::RowMatrixXd Matrix;
    typedef Quillmesh::Core::InputPin<Matrix> Input;
    typedef Quillmesh::Core::OutputPin<Matrix> Output;

    struct Sensor
    {
        Sensor(const std::string& base, Quillmesh::Core::PinManager* filter);
        /// Takes the latest gain and offset that arrived; true when they can be applied.
        bool refreshCalibration();
        /// The sample of that time, calibrated into out; older samples are dropped.
        bool take(double time, Eigen::Vector3d& raw, Eigen::Vector3d& out);

        Input samples;
        Input gainIn;
        Input offsetIn;
        Eigen::Matrix3d gain = Eigen::Matrix3d::Zero();
        Eigen::Vector3d offset = Eigen::Vector3d::Zero();
        bool usable = false;
    };

    void onGain(const double& gain);
    void onMagOn(const bool& on);
    void onAccRejection(const double& threshold);
    void onMagRejection(const double& threshold);
    void onGyroBiasOn(const bool& on);
    void onReset();
    template <typename T>
    void change(T OrientationEstimator::Settings::*field, const T& value);

    Sensor _acc;
    Sensor _mag;
    Sensor _gyro;
    Output _quaternion;
    Output _rollPitchYaw;
    Output _mode;
    Output _gyroBias;
    Quillmesh::Core::ValueProperty<double> _gainProperty;
    Quillmesh::Core::ValueProperty<bool> _magOnProperty;
    Quillmesh::Core::ValueProperty<double> _accRejectionProperty;
    Quillmesh::Core::ValueProperty<double> _magRejectionProperty;
    Quillmesh::Core::ValueProperty<bool> _gyroBiasOnProperty;
    Quillmesh::Core::CommandProperty _resetProperty;
    OrientationEstimator _estimator;
    /// Gyroscope samples in a row that were exactly zero.
    unsigned _zeroGyro = 0;
};

} // namespace DRFN3Internal

#endif
