#include "SimHarness.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <Poco/NumberFormatter.h>
#include <Tarnlink/Sim/Wire.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace FilterTests;
using DRFN3Internal::DriftnodeOutputs;
using DRFN3Internal::Matrix;
using DRFN3Internal::Sensor;

namespace {

constexpr std::uint32_t kSerial = 0xA10001;
constexpr unsigned kEepromOffsetRegister = 133;

/// One EEPROM word a commit writes, and how many requests its window register had seen
/// (since the commit began) when the write went out.
struct WordWrite
{
    std::uint32_t address;
    std::uint16_t value;
    unsigned window;
    unsigned earlierRequests;
};

/// A connected one-pod filter whose record holds new matrices for all three sets, flagged
/// for writing.
struct Bench
{
    Harness h{Sim::Generation::Second, {kSerial}};
    Sim::Pod& pod;
    DriftnodeOutputs* record = nullptr;

    Bench() : pod(*h.simulator.pod(kSerial))
    {
        h.connect("A10001");
        record = h.filter->getOutputs(kSerial);
        const Sensor sensors[] = {Sensor::Accelerometer, Sensor::Magnetometer, Sensor::Gyroscope};
        for (int s = 0; s < 3; ++s)
        {
            record->gain(sensors[s]) = Matrix::Identity(3, 3) * (1.25 + s);
            record->offset(sensors[s]) = Matrix::Constant(3, 1, -7.5 * (s + 1));
            record->setWriteFlag(sensors[s], true);
        }
        h.simulator.recorder().clear();
    }

    std::vector<std::uint8_t> manufacturingBytes() const
    {
        std::vector<std::uint8_t> out;
        for (std::uint32_t a = Sim::Pod::kManufacturingArea; a < Sim::Pod::kBootFlag; ++a)
            out.push_back(pod.eeprom().byte(a));
        return out;
    }
};

/// The word writes of a clean commit, in order, read back from the recorded requests.
std::vector<WordWrite> wordsOfACleanCommit()
{
    Bench b;
    b.h.run("Write Calib");
    std::vector<WordWrite> words;
    std::map<unsigned, unsigned> requestsTo;
    std::uint32_t page = 0;
    for (const Sim::Record& r : b.h.simulator.recorder().of(Sim::Record::Request))
    {
        if (r.serial != kSerial) continue;
        if (r.opcode != Sim::Wire::WriteSlave && r.opcode != Sim::Wire::ReadSlave) continue;
        if (r.opcode == Sim::Wire::WriteSlave && r.address == kEepromOffsetRegister) page = r.value & 0xFF80u;
        if (r.opcode == Sim::Wire::WriteSlave && r.address < 128)
            words.push_back(WordWrite{page | r.address, r.value, r.address, requestsTo[r.address]});
        ++requestsTo[r.address];
    }
    return words;
}

void expectWorkingEqualsManufacturing(Sim::Pod& pod, const DriftnodeOutputs& record)
{
    for (unsigned set = 0; set < 3; ++set)
    {
        EXPECT_EQ(pod.calibrationGain(set, Sim::Pod::kManufacturingArea), pod.calibrationGain(set)) << set;
        EXPECT_EQ(pod.calibrationOffset(set, Sim::Pod::kManufacturingArea), pod.calibrationOffset(set)) << set;
    }
    const std::array<double, 9> gyro = pod.calibrationGain(2, Sim::Pod::kManufacturingArea);
    Matrix expected(3, 3);
    for (int i = 0; i < 9; ++i) expected.data()[i] = gyro[static_cast<std::size_t>(i)];
    EXPECT_TRUE(const_cast<DriftnodeOutputs&>(record).gain(Sensor::Gyroscope).isApprox(expected));
}

enum class Failure
{
    RegisterStopsAnswering,
    WordDoesNotStick
};

/// Commits with word k failing; the commit must fail, leave manufacturing alone, put the pod
/// back on its channel, and a reset from manufacturing must then give a working calibration.
void commitWithWordFailing(const WordWrite& word, Failure failure, std::size_t k)
{
    SCOPED_TRACE("word " + std::to_string(k) + " at 0x" + Poco::NumberFormatter::formatHex(word.address) +
                 (failure == Failure::RegisterStopsAnswering ? ", register fails" : ", word stuck"));
    Bench b;
    const std::vector<std::uint8_t> manufacturing = b.manufacturingBytes();
    const unsigned channel = b.pod.channelCode();
    if (failure == Failure::RegisterStopsAnswering)
        b.pod.failRegisterAfter(word.window, word.earlierRequests);
    else
    {
        b.pod.pokeEepromWord(word.address, static_cast<std::uint16_t>(~word.value));
        b.pod.makeWordStuck(word.address);
    }

    bool failed = false;
    try
    {
        b.h.run("Write Calib");
    }
    catch (const Poco::IOException& e)
    {
        failed = true;
        EXPECT_EQ("Error while writing Drfn calib info", e.message());
    }
    ASSERT_TRUE(failed) << "a commit with a failed word reported success";
    EXPECT_TRUE(b.record->getWriteFlag(Sensor::Gyroscope)) << "the calibration must stay pending";
    EXPECT_EQ(manufacturing, b.manufacturingBytes());
    EXPECT_EQ(channel, b.pod.channelCode());

    b.pod.failRegisterAfter(word.window, ~0u);
    b.pod.makeWordStuck(word.address, false);
    b.h.set("Sensor Index", "0");
    b.h.run("Reset Calib to Manuf.");
    expectWorkingEqualsManufacturing(b.pod, *b.record);
    EXPECT_EQ(manufacturing, b.manufacturingBytes());
}

} // namespace

TEST(CalibrationIntegrity, EveryWordOfACommitThatFailsEndsInAnError)
{
    const std::vector<WordWrite> words = wordsOfACleanCommit();
    ASSERT_GT(words.size(), 50u);
    for (std::size_t k = 0; k < words.size(); ++k)
    {
        commitWithWordFailing(words[k], Failure::RegisterStopsAnswering, k);
        commitWithWordFailing(words[k], Failure::WordDoesNotStick, k);
        if (HasFatalFailure()) return;
    }
    std::printf("calibration integrity: %zu words x 2 failures\n", words.size());
}
