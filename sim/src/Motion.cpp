#include <Tarnlink/Sim/Motion.h>

#include <Poco/Exception.h>

#include <cmath>
#include <random>
#include <utility>

namespace Tarnlink {
namespace Sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;
/// Integration step where there is no closed form: at 500 deg/s a fourth-order step of 1 ms
/// errs by about 1e-12 rad, far below any sensor's noise.
const double kStep = 0.001;
const std::int64_t kCheckpointSteps = 1000;

Vector3 scaled(const Vector3& v, double s)
{
    return {v[0] * s, v[1] * s, v[2] * s};
}

double length(const Vector3& v)
{
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

Quaternion add(const Quaternion& a, const Quaternion& b, double s)
{
    return {a.w + s * b.w, a.x + s * b.x, a.y + s * b.y, a.z + s * b.z};
}

/// dq/dt = q (0, w) / 2, with w in the pod's frame.
Quaternion derivative(const Quaternion& q, const Vector3& w)
{
    Quaternion d = q * Quaternion{0, w[0], w[1], w[2]};
    return {0.5 * d.w, 0.5 * d.x, 0.5 * d.y, 0.5 * d.z};
}

/// Uniform numbers in (0, 1) from a seed, the same on every platform.
class Picker
{
public:
    explicit Picker(std::uint32_t seed) : _random(seed) {}
    double uniform() { return (static_cast<double>(_random()) + 0.5) / 4294967296.0; }
    Vector3 direction()
    {
        const double z = 2 * uniform() - 1, phi = 2 * kPi * uniform(), r = std::sqrt(1 - z * z);
        return {r * std::cos(phi), r * std::sin(phi), z};
    }
    Quaternion orientation()
    {
        // Uniform over all orientations.
        const double u1 = uniform(), u2 = 2 * kPi * uniform(), u3 = 2 * kPi * uniform();
        const double a = std::sqrt(1 - u1), b = std::sqrt(u1);
        return Quaternion{a * std::sin(u2), a * std::cos(u2), b * std::sin(u3), b * std::cos(u3)}.normalized();
    }

private:
    std::mt19937 _random;
};

} // namespace

// Quaternion

Quaternion operator*(const Quaternion& a, const Quaternion& b)
{
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

Quaternion Quaternion::fromAxisAngle(const Vector3& axis, double angle)
{
    const double s = std::sin(angle / 2) / length(axis);
    return {std::cos(angle / 2), axis[0] * s, axis[1] * s, axis[2] * s};
}

Quaternion Quaternion::fromRollPitchYaw(double roll, double pitch, double yaw)
{
    return fromAxisAngle({0, 0, 1}, yaw) * fromAxisAngle({0, 1, 0}, pitch) * fromAxisAngle({1, 0, 0}, roll);
}

Quaternion Quaternion::normalized() const
{
    const double n = std::sqrt(w * w + x * x + y * y + z * z);
    return {w / n, x / n, y / n, z / n};
}

Vector3 Quaternion::rotate(const Vector3& v) const
{
    const Quaternion r = *this * Quaternion{0, v[0], v[1], v[2]} * conjugate();
    return {r.x, r.y, r.z};
}

Vector3 Quaternion::rotateBack(const Vector3& v) const
{
    return conjugate().rotate(v);
}

// MotionTruth

Vector3 MotionTruth::specificForce() const
{
    const Vector3 f{freeAcceleration[0], freeAcceleration[1], freeAcceleration[2] + kStandardGravity};
    return orientation.rotateBack(f);
}

Vector3 MotionTruth::fieldInPod() const
{
    return orientation.rotateBack(magneticField);
}

// Profiles

class MotionScript::Profile
{
public:
    explicit Profile(const Quaternion& start = Quaternion()) : start(start) {}
    virtual ~Profile() = default;
    /// rad/s in the pod's frame.
    virtual Vector3 angularVelocity(double t) const = 0;
    /// False when there is no closed form: the script integrates from start.
    virtual bool orientation(double t, Quaternion& q) const = 0;

    const Quaternion start;
};

namespace {

class Rest : public MotionScript::Profile
{
public:
    using Profile::Profile;
    Vector3 angularVelocity(double) const override { return {0, 0, 0}; }
    bool orientation(double, Quaternion& q) const override
    {
        q = start;
        return true;
    }
};

class Spin : public MotionScript::Profile
{
public:
    Spin(const Vector3& axis, double rate, const Quaternion& start)
        : Profile(start), _axis(scaled(axis, 1 / length(axis))), _rate(rate)
    {
    }
    Vector3 angularVelocity(double) const override { return scaled(_axis, _rate); }
    bool orientation(double t, Quaternion& q) const override
    {
        q = start * Quaternion::fromAxisAngle(_axis, _rate * t);
        return true;
    }

private:
    Vector3 _axis;
    double _rate;
};

class Wobble : public MotionScript::Profile
{
public:
    explicit Wobble(double startAngle) : _start(startAngle) {}
    Vector3 angularVelocity(double t) const override
    {
        // Pod to world is Rx(theta) Ry(phi): the turn about x seen from the wobbled pod, plus
        // the wobble's own rate.
        const double phi = wobble(t), phiRate = 0.2 * kOmega * std::cos(kOmega * t);
        return {kRate * std::cos(phi), phiRate, kRate * std::sin(phi)};
    }
    bool orientation(double t, Quaternion& q) const override
    {
        q = Quaternion::fromAxisAngle({1, 0, 0}, _start + kRate * t) * Quaternion::fromAxisAngle({0, 1, 0}, wobble(t));
        return true;
    }

private:
    static constexpr double kRate = 2 * kPi / 20.0;
    static constexpr double kOmega = 2 * kPi / 7.0;
    static double wobble(double t) { return 0.2 * std::sin(kOmega * t); }
    double _start;
};

class Turns : public MotionScript::Profile
{
public:
    Turns(const std::vector<Turn>& turns, const Quaternion& start, bool repeat)
        : Profile(start), _turns(turns), _repeat(repeat)
    {
        Quaternion q;
        for (Turn& turn : _turns)
        {
            turn.axis = scaled(turn.axis, 1 / length(turn.axis));
            _startOf.push_back(q);
            _cycle += turn.seconds + turn.pauseSeconds;
            q = q * Quaternion::fromAxisAngle(turn.axis, turn.degrees * kDegree);
        }
        _whole = q;
        _wholeAngle = 2 * std::atan2(length({q.x, q.y, q.z}), q.w);
        _wholeAxis = _wholeAngle == 0 ? Vector3{0, 0, 1} : Vector3{q.x, q.y, q.z};
    }

    Vector3 angularVelocity(double t) const override
    {
        std::size_t i;
        double tau;
        if (!find(t, i, tau) || tau >= _turns[i].seconds) return {0, 0, 0};
        const Turn& turn = _turns[i];
        const double rate = turn.degrees * kDegree / turn.seconds * (1 - std::cos(2 * kPi * tau / turn.seconds));
        return scaled(turn.axis, rate);
    }

    bool orientation(double t, Quaternion& q) const override
    {
        std::size_t i;
        double tau;
        double cycles = 0;
        if (_turns.empty() || _cycle <= 0)
        {
            q = start;
            return true;
        }
        if (!find(t, i, tau, &cycles))
        {
            q = start * _whole;
            return true;
        }
        const Turn& turn = _turns[i];
        const double d = turn.seconds, a = turn.degrees * kDegree;
        const double angle = tau >= d ? a : a / d * (tau - d / (2 * kPi) * std::sin(2 * kPi * tau / d));
        // Whole cycles behind: the cycle's turn raised to that power, about its own axis.
        const Quaternion done = Quaternion::fromAxisAngle(_wholeAxis, _wholeAngle * cycles);
        q = start * done * _startOf[i] * Quaternion::fromAxisAngle(turn.axis, angle);
        return true;
    }

private:
    /// The turn under way at t and the time into it; false once a sequence that does not
    /// repeat is over.
    bool find(double t, std::size_t& index, double& tau, double* cycles = nullptr) const
    {
        if (_turns.empty() || _cycle <= 0) return false;
        double n = std::floor(t / _cycle);
        if (!_repeat && n >= 1) return false;
        if (cycles) *cycles = n;
        double in = t - n * _cycle;
        for (index = 0; index + 1 < _turns.size(); ++index)
        {
            const double span = _turns[index].seconds + _turns[index].pauseSeconds;
            if (in < span) break;
            in -= span;
        }
        tau = in;
        return true;
    }

    std::vector<Turn> _turns;
    bool _repeat;
    std::vector<Quaternion> _startOf;
    double _cycle = 0;
    Quaternion _whole;
    double _wholeAngle = 0;
    Vector3 _wholeAxis{0, 0, 1};
};

class Random : public MotionScript::Profile
{
public:
    Random(double peak, std::uint32_t seed, const Quaternion& start) : Profile(start), _peak(peak)
    {
        Picker pick(seed);
        for (auto& axis : _waves)
            for (Wave& w : axis)
            {
                w.omega = 2 * kPi * (0.1 + 0.6 * pick.uniform());
                w.phase = 2 * kPi * pick.uniform();
            }
    }

    Vector3 angularVelocity(double t) const override
    {
        Vector3 v{};
        for (std::size_t i = 0; i < 3; ++i)
            for (const Wave& w : _waves[i]) v[i] += kAmplitude * std::sin(w.omega * t + w.phase);
        // |w| = peak tanh(|v|): below the peak, and smooth, tanh(r) / r being smooth in r^2.
        const double r = length(v);
        const double f = r < 1e-6 ? 1 - r * r / 3 : std::tanh(r) / r;
        return scaled(v, _peak * f);
    }

    bool orientation(double, Quaternion&) const override { return false; }

private:
    struct Wave
    {
        double omega, phase;
    };
    static constexpr double kAmplitude = 0.3;
    double _peak;
    Wave _waves[3][4];
};

} // namespace

// MotionScript

MotionScript::MotionScript() : MotionScript(std::make_shared<Rest>()) {}

MotionScript::MotionScript(std::shared_ptr<const Profile> profile) : _profile(std::move(profile))
{
    setEarthField(47.4, 60.0);
    _state = _profile->start;
    _checkpoints.push_back(_state);
}

MotionScript::MotionScript(const MotionScript& other) = default;
MotionScript& MotionScript::operator=(const MotionScript& other) = default;
MotionScript::~MotionScript() = default;

MotionScript MotionScript::wobble(double startDegrees)
{
    return MotionScript(std::make_shared<Wobble>(startDegrees * kDegree));
}

MotionScript MotionScript::rest(const Quaternion& orientation)
{
    return MotionScript(std::make_shared<Rest>(orientation.normalized()));
}

MotionScript MotionScript::spin(const Vector3& axis, double degreesPerSecond, const Quaternion& start)
{
    return MotionScript(std::make_shared<Spin>(axis, degreesPerSecond * kDegree, start.normalized()));
}

MotionScript MotionScript::turns(const std::vector<Turn>& turns, const Quaternion& start, bool repeat)
{
    return MotionScript(std::make_shared<Turns>(turns, start.normalized(), repeat));
}

MotionScript MotionScript::random(double peakDegreesPerSecond, std::uint32_t seed, const Quaternion& start)
{
    return MotionScript(std::make_shared<Random>(peakDegreesPerSecond * kDegree, seed, start.normalized()));
}

std::vector<std::string> MotionScript::names()
{
    return {"wobble", "rest", "spin", "turns", "random"};
}

MotionScript MotionScript::named(const std::string& name, std::uint32_t serial, std::uint32_t seed)
{
    const std::size_t plus = name.find('+');
    const std::string base = name.substr(0, plus);
    Picker pick(seed * 747796405u + serial * 2891336453u + 1u);
    MotionScript script;
    if (base == "wobble")
        script = wobble(static_cast<double>(serial % 360));
    else if (base == "rest")
        script = rest(pick.orientation());
    else if (base == "spin")
        script = spin(pick.direction(), 90.0, pick.orientation());
    else if (base == "turns")
        script = turns({{{0, 0, 1}, 90, 1, 1}, {{1, 0, 0}, 90, 1, 1}, {{1, 0, 0}, -90, 1, 1}, {{0, 0, 1}, -90, 1, 1}},
                       Quaternion::fromAxisAngle({0, 0, 1}, 2 * kPi * pick.uniform()));
    else if (base == "random")
        script = random(500.0, static_cast<std::uint32_t>(pick.uniform() * 4294967296.0), pick.orientation());
    else
        throw Poco::InvalidArgumentException("Unknown motion '" + name + "'");

    std::size_t at = plus;
    while (at != std::string::npos)
    {
        const std::size_t next = name.find('+', at + 1);
        const std::string extra = name.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (extra == "bursts")
        {
            const double heading = 2 * kPi * pick.uniform();
            script.addBurst(10, 2, {kStandardGravity * std::cos(heading), kStandardGravity * std::sin(heading), 0}, 20);
        }
        else if (extra == "magnetic")
            script.addDisturbance(15, 2, scaled(pick.direction(), 30.0), 20);
        else
            throw Poco::InvalidArgumentException("Unknown motion '" + name + "'");
        at = next;
    }
    return script;
}

MotionScript& MotionScript::addBurst(double start, double duration, const Vector3& acceleration, double period)
{
    _bursts.push_back({start, duration, period, acceleration});
    return *this;
}

MotionScript& MotionScript::addDisturbance(double start, double duration, const Vector3& field, double period)
{
    _disturbances.push_back({start, duration, period, field});
    return *this;
}

MotionScript& MotionScript::setEarthField(double strength, double dipDegrees)
{
    _earth = {strength * std::cos(dipDegrees * kDegree), 0.0, -strength * std::sin(dipDegrees * kDegree)};
    return *this;
}

bool MotionScript::Event::active(double t) const
{
    if (t < start) return false;
    const double into = period > 0 ? std::fmod(t - start, period) : t - start;
    return into < duration;
}

MotionTruth MotionScript::at(double t)
{
    MotionTruth truth;
    truth.time = t;
    if (!_profile->orientation(t, truth.orientation)) truth.orientation = integrate(t);
    truth.angularVelocity = _profile->angularVelocity(t);
    truth.magneticField = _earth;
    for (const Event& e : _bursts)
        if (e.active(t))
            for (std::size_t i = 0; i < 3; ++i) truth.freeAcceleration[i] += e.value[i];
    for (const Event& e : _disturbances)
        if (e.active(t))
            for (std::size_t i = 0; i < 3; ++i) truth.magneticField[i] += e.value[i];
    return truth;
}

Quaternion MotionScript::integrate(double t)
{
    // Classical fourth-order steps on a fixed grid, so that the state at a grid point never
    // depends on which times were asked before; t itself is reached by one shorter step.
    auto step = [this](Quaternion q, double from, double h) {
        const Vector3 w0 = _profile->angularVelocity(from), w1 = _profile->angularVelocity(from + h / 2),
                      w2 = _profile->angularVelocity(from + h);
        const Quaternion k1 = derivative(q, w0);
        const Quaternion k2 = derivative(add(q, k1, h / 2), w1);
        const Quaternion k3 = derivative(add(q, k2, h / 2), w1);
        const Quaternion k4 = derivative(add(q, k3, h), w2);
        for (const auto& [k, s] : {std::make_pair(k1, h / 6), std::make_pair(k2, h / 3), std::make_pair(k3, h / 3),
                                   std::make_pair(k4, h / 6)})
            q = add(q, k, s);
        return q.normalized();
    };
    const std::int64_t target = t > 0 ? static_cast<std::int64_t>(std::floor(t / kStep)) : 0;
    if (target < _step)
    {
        const std::int64_t c = target / kCheckpointSteps;
        _step = c * kCheckpointSteps;
        _state = _checkpoints[static_cast<std::size_t>(c)];
    }
    while (_step < target)
    {
        _state = step(_state, static_cast<double>(_step) * kStep, kStep);
        ++_step;
        if (_step % kCheckpointSteps == 0 && static_cast<std::size_t>(_step / kCheckpointSteps) == _checkpoints.size())
            _checkpoints.push_back(_state);
    }
    const double rest = t - static_cast<double>(_step) * kStep;
    return rest > 0 ? step(_state, static_cast<double>(_step) * kStep, rest) : _state;
}

} // namespace Sim
} // namespace Tarnlink
