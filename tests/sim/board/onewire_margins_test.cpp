// The 1-Wire margins report judges each measure against the DS18B20's window: a slot just outside an
// edge is flagged (and the whole run with it), one just inside is not, and the extremes kept are the
// run's shortest and longest.
#include <gtest/gtest.h>

#include <string>

#include "onewire_margins.h"

namespace {

using Kind = sim::OneWireSlave::Slot::Kind;
using Measure = sim::OneWireMargins::Measure;
using sim::Picos;

constexpr Picos us(double micros)
{
    return static_cast<Picos>(micros * 1e6);
}

sim::OneWireSlave::Slot slot(Kind kind, Picos low, Picos sample = 0, Picos length = 0)
{
    return {.kind = kind, .fall = 0, .low = low, .length = length, .sample = sample};
}

TEST(OneWireMargins, FlagsEachMeasureJustOutsideItsWindowAndPassesItJustInside)
{
    struct Row {
        const char* what;
        sim::OneWireSlave::Slot slot;
        Measure measure;
        bool inside;
    } rows[] = {
        {"reset low 479.99", slot(Kind::Reset, us(479.99)), Measure::ResetLow, false},
        {"reset low 480", slot(Kind::Reset, us(480)), Measure::ResetLow, true},
        {"reset low 960.01", slot(Kind::Reset, us(960.01)), Measure::ResetLow, false},
        {"presence 59.99", slot(Kind::Reset, us(481), us(59.99)), Measure::PresenceSample, false},
        {"presence 60.33", slot(Kind::Reset, us(481), us(60.33)), Measure::PresenceSample, true},
        {"presence 75.01", slot(Kind::Reset, us(481), us(75.01)), Measure::PresenceSample, false},
        {"write 0 low 59.99", slot(Kind::Write0, us(59.99)), Measure::Write0Low, false},
        {"write 0 low 120.01", slot(Kind::Write0, us(120.01)), Measure::Write0Low, false},
        {"write 0 low 61.3", slot(Kind::Write0, us(61.3)), Measure::Write0Low, true},
        {"write 1 low 15.01", slot(Kind::Write1, us(15.01)), Measure::Write1Low, false},
        {"write 1 low 0.99", slot(Kind::Write1, us(0.99)), Measure::Write1Low, false},
        {"read low 15.5", slot(Kind::Read, us(15.5), us(16)), Measure::ReadLow, false},
        {"read sample 15.01", slot(Kind::Read, us(2), us(15.01)), Measure::ReadSample, false},
        {"read sample 14.99", slot(Kind::Read, us(2), us(14.99)), Measure::ReadSample, true},
        {"slot 59.99", slot(Kind::Write1, us(8), 0, us(59.99)), Measure::SlotLength, false},
        {"slot 4 s (idle line)", slot(Kind::Write1, us(8), 0, us(4e6)), Measure::SlotLength, true},
    };
    for (const Row& row : rows) {
        sim::OneWireMargins margins;
        margins.add(row.slot);
        const auto& judged = margins.rows()[static_cast<size_t>(row.measure)];
        EXPECT_EQ(judged.count, 1U) << row.what;
        EXPECT_EQ(judged.inside(), row.inside) << row.what;
        EXPECT_EQ(margins.all_inside(), row.inside) << row.what;
        EXPECT_EQ(margins.table().find("OUTSIDE") != std::string::npos, !row.inside) << row.what;
    }
}

// A run's good slots do not hide a bad one: the extremes are kept, and the margin is the nearer edge's.
TEST(OneWireMargins, KeepsTheRunsExtremesAndTheNearerEdge)
{
    sim::OneWireMargins margins;
    for (double low : {61.3, 61.2, 119.0, 61.4}) margins.add(slot(Kind::Write0, us(low)));
    const auto& row = margins.rows()[static_cast<size_t>(Measure::Write0Low)];
    EXPECT_EQ(row.count, 4U);
    EXPECT_EQ(row.min, us(61.2));
    EXPECT_EQ(row.max, us(119.0));
    EXPECT_NEAR(row.margin_us(), 1.0, 1e-9);  // 120 - 119, nearer than 61.2 - 60
    margins.add(slot(Kind::Write0, us(121)));
    EXPECT_FALSE(margins.all_inside());
    EXPECT_NEAR(row.margin_us(), -1.0, 1e-9);
    // Resets that were not followed by a read of the line have no presence sample to judge.
    margins.add(slot(Kind::Reset, us(500)));
    EXPECT_EQ(margins.rows()[static_cast<size_t>(Measure::PresenceSample)].count, 0U);
}

}  // namespace
