#include "DRFN3Internal/FilterDRFN3.h"

#include "DRFN3Internal/Cause.h"
#include "DRFN3Internal/PinNames.h"

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Exception.h>
#include <Tarnlink/Driftnode3EEPROM.h>

#include <algorithm>
#include <memory>

namespace DRFN3Internal {

using Quillmesh::Core::Synchronizer;

namespace {

const Sensor SENSORS[3] = {Sensor::Accelerometer, Sensor::Magnetometer, Sensor::Gyroscope};

} // namespace

FilterDRFN3::FilterDRFN3(const std::string& name)
    : FilterDRFNBase(name),
      sensorIndexProperty("Sensor Index", &getPropertyBag(), 0, 0, 1),
      resetCalibProperty("Reset Calib to Manuf.", &getPropertyBag()),
      copyCalibProperty("Copy Calib to Manuf.", &getPropertyBag()),
      accModeProperty("Acc mode", &getPropertyBag()),
      magModeProperty("Mag mode", &getPropertyBag()),
      gyroOnProperty("Gyro On", &getPropertyBag()),
      gyroModeProperty("Gyro mode", &getPropertyBag()),
      scanProperty("Scan Sensor Registry", &getPropertyBag()),
      sensorTypesProperty("Sensor types", &getPropertyBag())
{
    resetCalibProperty.bind(this, &FilterDRFN3::resetCalibrationToManufacturing);
    copyCalibProperty.bind(this, &FilterDRFN3::copyCalibrationToManufacturing);

    for (const char* entry : {"2g", "4g", "8g"}) accModeProperty.addEntry(entry);
    accModeProperty.set(2);
    accModeProperty.setIsPersistent(true);
    accModeProperty.notifyAttributeChanged();
    accModeProperty.bind(this, &FilterDRFN3::onAccModeChanged);

    for (const char* entry : {"0.88Ga", "1.30Ga", "1.90Ga", "2.50Ga", "4.00Ga", "4.70Ga", "5.60Ga", "8.10Ga"})
        magModeProperty.addEntry(entry);
    magModeProperty.set(4);
    magModeProperty.setIsPersistent(true);
    magModeProperty.notifyAttributeChanged();

    gyroOnProperty.set(true);

    gyroModeProperty.addEntry("1x - full range - lower accuracy");
    gyroModeProperty.addEntry("4,5x - lower range - full accuracy");
    gyroModeProperty.set(0);
    gyroModeProperty.setIsPersistent(true);
    gyroModeProperty.notifyAttributeChanged();

    scanProperty.bind(this, &FilterDRFN3::scanSensorRegistry);
    // Read flags alone would make the command a no-op once a transmission has read them.
    readCalibProperty.bind(this, &FilterDRFN3::rereadCalibration);

    sensorTypesProperty.set("");
    sensorTypesProperty.setIsPersistent(false);
    sensorTypesProperty.setIsWritable(false);
    sensorTypesProperty.notifyAttributeChanged();

    updateProperties();
}

FilterDRFN3::~FilterDRFN3()
{
    // A filter that goes while connected must not leave its port held or its pods streaming.
    shutdown();
    isolatedDriftnodes.clear();
    for (Tarnlink::Driftnode3* p : pods) delete p;
    for (DriftnodeOutputs* record : outputs) delete record;
}

std::string FilterDRFN3::getTypeName() const
{
    return TYPE_NAME;
}

unsigned FilterDRFN3::getDriftnodeKind()
{
    return 1;
}

//
// Pods
//

bool FilterDRFN3::readSensorFirmwareVersion(unsigned serial, unsigned& type, unsigned& major, unsigned& minor)
{
    Tarnlink::Driftnode3 probe(&requireController(), serial);
    return probe.tryGetVersion(type, major, minor);
}

bool FilterDRFN3::isSensorSerialCompatible(unsigned serial)
{
    Tarnlink::Driftnode3 probe(&requireController(), serial);
    return probe.isCompatibleSerial(serial);
}

unsigned FilterDRFN3::getMaxSensorCount(unsigned hz)
{
    if (!connectionProperty.get() || !controller) return 5;
    if (controller->getHardwareCode() == 2) return 5;
    unsigned major = 0;
    unsigned minor = 0;
    controller->getVersion(major, minor);
    if (major == 0 && minor < 10) return 5;
    if (hz > 150) return 5;
    if (hz > 100) return 8;
    return 16;
}

Tarnlink::Driftnode3& FilterDRFN3::pod(unsigned serial) const
{
    auto it = serialIndex.find(serial);
    if (it == serialIndex.end() || it->second >= pods.size() || !pods[it->second])
        throw Poco::IOException("Error while accessing the drfn");
    return *pods[it->second];
}

Tarnlink::Driftnode* FilterDRFN3::getDriftnode(unsigned serial)
{
    return &pod(serial);
}

Tarnlink::Driftnode* FilterDRFN3::getDriftnode(unsigned serial) const
{
    return &pod(serial);
}

DriftnodeOutputs* FilterDRFN3::getOutputs(unsigned serial) const
{
    auto it = network.find(serial);
    return it == network.end() ? nullptr : outputs[it->second];
}

void FilterDRFN3::setDriftnodes(const std::vector<unsigned>& serials)
{
    if (!controller) return;

    std::vector<Tarnlink::Driftnode3*> kept(pods);
    std::vector<Tarnlink::Driftnode3*> next;
    std::map<unsigned, unsigned> index;
    try
    {
        for (unsigned serial : serials)
        {
            auto it = serialIndex.find(serial);
            if (it != serialIndex.end() && it->second < kept.size() && kept[it->second])
            {
                next.push_back(kept[it->second]);
                kept[it->second] = nullptr;
            }
            else
            {
                next.push_back(new Tarnlink::Driftnode3(controller, serial));
            }
            index[serial] = static_cast<unsigned>(next.size() - 1);
        }
    }
    catch (...)
    {
        for (Tarnlink::Driftnode3* created : next)
            if (std::find(pods.begin(), pods.end(), created) == pods.end()) delete created;
        throw;
    }

    for (Tarnlink::Driftnode3* gone : kept)
    {
        if (!gone) continue;
        // A pod that goes must not be left behind for a later release to touch.
        isolatedDriftnodes.erase(std::remove(isolatedDriftnodes.begin(), isolatedDriftnodes.end(), gone),
                                 isolatedDriftnodes.end());
        delete gone;
    }
    pods.swap(next);
    serialIndex.swap(index);

    const int last = pods.empty() ? 0 : static_cast<int>(pods.size()) - 1;
    sensorIndexProperty.setRange(0, last, 1);
    updateProperties();
}

void FilterDRFN3::setNetwork(const std::vector<unsigned>& serials)
{
    if (serials.size() > getMaxSensorCount()) throw Poco::RangeException("Too many drfns in the Network");

    std::vector<DriftnodeOutputs*> old(outputs);
    std::vector<std::unique_ptr<DriftnodeOutputs>> created;
    std::vector<DriftnodeOutputs*> next;
    std::map<unsigned, unsigned> map;
    bool added = false;
    for (unsigned i = 0; i < serials.size(); ++i)
    {
        const unsigned serial = serials[i];
        map[serial] = i;
        auto it = network.find(serial);
        if (it != network.end() && old[it->second])
        {
            next.push_back(old[it->second]);
            old[it->second] = nullptr;
        }
        else
        {
            created.emplace_back(new DriftnodeOutputs(this, PinNames::suffix(serial)));
            next.push_back(created.back().get());
            added = true;
        }
    }
    for (auto& record : created) record.release();
    if (added) networkVerified = false;

    for (DriftnodeOutputs* record : old) delete record;
    outputs.swap(next);
    network.swap(map);
    updateProperties();
}

void FilterDRFN3::checkNetwork()
{
    if (network.size() > getMaxSensorCount()) throw Poco::RangeException("Too many drfns in the Network");
    if (networkVerified) return;

    std::string unreachable;
    std::string inappropriate;
    std::string corrupted;
    std::string types;
    bool first = true;
    for (const auto& entry : network)
    {
        const unsigned serial = entry.first;
        Tarnlink::Driftnode3& p = pod(serial);
        if (!p.isReachable(true))
        {
            unreachable += serialEntry(serial);
            continue;
        }
        unsigned type = 0;
        unsigned major = 0;
        unsigned minor = 0;
        p.getVersion(type, major, minor);
        types = types.empty() ? std::to_string(type) : types + " " + std::to_string(type);
        if (type != 3 && type != 6) inappropriate += serialEntry(serial);
        if (major == 15) corrupted += serialEntry(serial);
        if (major <= 1 && minor < 12 && serialIndex.at(serial) >= 3)
            throw Poco::NotImplementedException(
                "Network capacity is limited with current driftnode firmware, upgrade to latest firmware");
        if (first)
        {
            writeReadOnly(driftnodeFirmwareProperty, std::to_string(major) + "." + std::to_string(minor));
            first = false;
        }
    }

    if (!unreachable.empty()) throw Poco::IOException("Could not reach driftnodes" + unreachable);
    if (!inappropriate.empty())
        throw Poco::NoPermissionException("Driftnode(s) are inappropriate device(s) : " + inappropriate);
    if (!corrupted.empty())
        throw Poco::IllegalStateException("Driftnode's Firmware may be corrupted : " + corrupted +
                                          ", upgrade to latest firmware");

    writeReadOnly(sensorTypesProperty, types);
    networkVerified = true;
}

void FilterDRFN3::updatePropertyAccess(bool connected, bool transmitting, bool networkEmpty)
{
    FilterDRFNBase::updatePropertyAccess(connected, transmitting, networkEmpty);

    const bool modes = !transmitting && !networkEmpty;
    for (Quillmesh::Core::ValueProperty<unsigned>* mode :
         {static_cast<Quillmesh::Core::ValueProperty<unsigned>*>(&accModeProperty),
          static_cast<Quillmesh::Core::ValueProperty<unsigned>*>(&magModeProperty),
          static_cast<Quillmesh::Core::ValueProperty<unsigned>*>(&gyroModeProperty)})
    {
        mode->setIsWritable(modes);
        mode->notifyAttributeChanged();
    }
    gyroOnProperty.setIsWritable(modes);
    gyroOnProperty.notifyAttributeChanged();

    const bool maintenance = connected && !transmitting && !driftnodeSerials.empty();
    sensorIndexProperty.setIsWritable(maintenance);
    sensorIndexProperty.notifyAttributeChanged();
    resetCalibProperty.setIsWritable(maintenance);
    copyCalibProperty.setIsWritable(maintenance);
}

void FilterDRFN3::configureDriftnode(unsigned serial)
{
    Tarnlink::Driftnode3& p = pod(serial);
    static const unsigned ACC_CODES[3] = {0, 1, 3};
    const unsigned acc = accModeProperty.get();
    p.setAccRange(acc < 3 ? ACC_CODES[acc] : 0);
    p.setMagRange(magModeProperty.get());
    p.setGyroEnabled(gyroOnProperty.get());
    p.setGyroMode(gyroModeProperty.get());
}

void FilterDRFN3::onTransmissionStarted()
{
    const int window = frequencyProperty.get() / 5;
    for (DriftnodeOutputs* record : outputs)
    {
        record->frameCounter().reset();
        record->batteryAverage().resize(window);
    }
    // The network, its pods' firmware and the rate hold still while it streams.
    streamLayouts.clear();
    for (unsigned serial : networkSerials)
    {
        unsigned type = 0;
        unsigned major = 0;
        unsigned minor = 0;
        pod(serial).getVersion(type, major, minor);
        streamLayouts.push_back(frameLayoutFor(major, minor));
    }
    streamFrequency = controller->getExactFrequency();
}

//
// Frames
//

void FilterDRFN3::handleFrame(const std::string& frame)
{
    DataFrame decoded;
    if (!decoded.decode(frame)) return;
    const unsigned i = decoded.getRecordIndex();
    if (i >= outputs.size() || i >= networkSerials.size()) return;

    if (i >= streamLayouts.size()) return;
    outputs[i]->publishFrame(decoded, streamLayouts[i], streamFrequency);
}

//
// Calibration
//

double FilterDRFN3::accelerometerGainFactor() const
{
    switch (accModeProperty.get())
    {
    case 0:
        return 0.5;
    case 2:
        return 2.0;
    default:
        return 1.0;
    }
}

void FilterDRFN3::loadCalibration(Tarnlink::Driftnode3& p, DriftnodeOutputs& record, bool acc, bool mag, bool gyro)
{
    const bool wanted[3] = {acc, mag, gyro};
    Tarnlink::Driftnode3EEPROM& image = p.getEEPROM();
    for (unsigned set = 0; set < 3; ++set)
    {
        if (!wanted[set]) continue;
        Matrix& gain = record.gain(SENSORS[set]);
        Matrix& offset = record.offset(SENSORS[set]);
        gain.resize(3, 3);
        offset.resize(3, 1);
        image.gain(set, gain.data());
        image.offset(set, offset.data());
        if (set == 0) gain *= accelerometerGainFactor();
    }
}

void FilterDRFN3::restoreChannels() noexcept
{
    releaseIsolatedDriftnodes();
    try
    {
        if (controller) controller->setChannel(0);
    }
    catch (...)
    {
    }
}

void FilterDRFN3::readCalibration()
{
    if (network.empty()) throw Poco::RuntimeException("Could not find any sensor serial");
    try
    {
        for (const auto& entry : network)
        {
            DriftnodeOutputs& record = *outputs[entry.second];
            bool flags[3];
            for (int s = 0; s < 3; ++s) flags[s] = record.getReadFlag(SENSORS[s]);
            if (!flags[0] && !flags[1] && !flags[2]) continue;

            Tarnlink::Driftnode3& p = pod(entry.first);
            isolateDriftnode(entry.first);
            p.getEEPROM().readCalibration();
            loadCalibration(p, record, flags[0], flags[1], flags[2]);
            for (int s = 0; s < 3; ++s)
                if (flags[s]) record.setReadFlag(SENSORS[s], false);
            restoreChannels();
            record.publishCalibration();
        }
    }
    catch (...)
    {
        restoreChannels();
        rethrowAs<Poco::IOException>("Error while reading Drfn calib info");
    }
}

void FilterDRFN3::writeCalibration()
{
    if (network.empty()) throw Poco::RuntimeException("Could not find any sensor serial");
    try
    {
        for (const auto& entry : network)
        {
            DriftnodeOutputs& record = *outputs[entry.second];
            record.publishCalibration();
            bool flags[3];
            for (int s = 0; s < 3; ++s) flags[s] = record.getWriteFlag(SENSORS[s]);
            if (!flags[0] && !flags[1] && !flags[2]) continue;

            Tarnlink::Driftnode3& p = pod(entry.first);
            isolateDriftnode(entry.first);
            Tarnlink::Driftnode3EEPROM& image = p.getEEPROM();
            image.readCalibration();
            const double temperature = p.readTemperature();
            for (unsigned set = 0; set < 3; ++set)
            {
                if (!flags[set]) continue;
                const Matrix& gain = record.gain(SENSORS[set]);
                const Matrix& offset = record.offset(SENSORS[set]);
                // A matrix of another size from an input pin cannot fill a set.
                if (gain.size() != 9 || offset.size() != 3)
                    throw Poco::InvalidArgumentException("calibration matrix of the wrong size");
                Matrix scaled = gain;
                if (set == 0) scaled /= accelerometerGainFactor();
                image.writeSetHeader(set, temperature);
                image.setGain(set, scaled.data());
                image.setOffset(set, offset.data());
            }
            image.commit();
            // Only now is the pod's calibration the record's: a failed commit keeps the flags for a retry.
            for (int s = 0; s < 3; ++s)
                if (flags[s]) record.setWriteFlag(SENSORS[s], false);
            restoreChannels();
        }
    }
    catch (...)
    {
        restoreChannels();
        rethrowAs<Poco::IOException>("Error while writing Drfn calib info");
    }
}

void FilterDRFN3::resetCalibrationToManufacturing()
{
    if (network.empty()) throw Poco::RuntimeException("Could not find any sensor serial");
    try
    {
        const int selected = sensorIndexProperty.get();
        if (selected < 0 || static_cast<std::size_t>(selected) >= driftnodeSerials.size())
            throw Poco::RangeException("no pod at the sensor index");
        const unsigned serial = driftnodeSerials[static_cast<std::size_t>(selected)];
        DriftnodeOutputs* record = getOutputs(serial);
        if (!record) throw Poco::NotFoundException("the selected pod does not stream");

        Tarnlink::Driftnode3& p = pod(serial);
        isolateDriftnode(serial);
        p.getEEPROM().restoreFromManufacturing(true, true, true);
        loadCalibration(p, *record, true, true, true);
        for (Sensor sensor : SENSORS)
        {
            record->setReadFlag(sensor, false);
            record->setWriteFlag(sensor, false);
        }
        restoreChannels();
        record->publishCalibration();
    }
    catch (...)
    {
        restoreChannels();
        rethrowAs<Poco::IOException>("Restore manufacturing calibration data failed, please try again");
    }
}

void FilterDRFN3::copyCalibrationToManufacturing()
{
    if (network.empty()) throw Poco::RuntimeException("Could not find any sensor serial");
    try
    {
        for (const auto& entry : network)
        {
            DriftnodeOutputs& record = *outputs[entry.second];
            Tarnlink::Driftnode3& p = pod(entry.first);
            isolateDriftnode(entry.first);
            p.getEEPROM().copyToManufacturing(true, true, true);
            loadCalibration(p, record, true, true, true);
            restoreChannels();
            record.publishCalibration();
        }
    }
    catch (...)
    {
        restoreChannels();
        rethrowAs<Poco::IOException>("Copying current calib data to manufacturing failed, please try again");
    }
}

void FilterDRFN3::scanSensorRegistry()
{
    if (!connectionProperty.get() || transmissionProperty.get()) return;
    for (const auto& entry : network)
    {
        try
        {
            pod(entry.first).scanRegisters();
        }
        catch (...)
        {
            rethrowAs<Poco::IOException>("Error while scanning Sensor Registry");
        }
    }
}

void FilterDRFN3::rereadCalibration()
{
    for (DriftnodeOutputs* record : outputs)
        for (Sensor sensor : SENSORS) record->setReadFlag(sensor, true);
    readCalibration();
}

void FilterDRFN3::onAccModeChanged()
{
    for (DriftnodeOutputs* record : outputs) record->setReadFlag(Sensor::Accelerometer, true);
}

} // namespace DRFN3Internal
