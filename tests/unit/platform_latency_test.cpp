// The devices' latency reports that align the echo canceller: a device that reports passes it on in whole
// milliseconds, one that does not says -1.
#include <gtest/gtest.h>

#include <memory>

#include "platform/wave/StreamWaveIn.h"
#include "platform/wave/StreamWaveOut.h"
#include "platform/wave/Wave.h"

namespace {

class ReportingSource final : public WavePushSource {
public:
    explicit ReportingSource(double seconds) : seconds_(seconds) {}
    bool Start(Captured, void*) override { return true; }
    void Stop() override {}
    double LatencySeconds() const override { return seconds_; }

private:
    double seconds_;
};

class SilentSource final : public WavePushSource {
public:
    bool Start(Captured, void*) override { return true; }
    void Stop() override {}
};

class ReportingSink final : public WavePullSink {
public:
    explicit ReportingSink(double seconds) : seconds_(seconds) {}
    bool Start(Render, void*) override { return true; }
    void Stop() override {}
    double LatencySeconds() const override { return seconds_; }

private:
    double seconds_;
};

class SilentSink final : public WavePullSink {
public:
    bool Start(Render, void*) override { return true; }
    void Stop() override {}
};

WaveFormat Format8k() {
    WaveFormat format;
    format.samplesPerSec = 8000;
    format.bitsPerSample = 16;
    format.blockAlign = 2;
    format.avgBytesPerSec = 16000;
    return format;
}

}  // namespace

TEST(DeviceLatencyTest, ReportsAreRoundedToMillisecondsAndAbsentOnesAreMinusOne) {
    EXPECT_EQ(StreamWaveIn(std::make_unique<ReportingSource>(0.0424), Format8k(), nullptr).LatencyMs(), 42);
    EXPECT_EQ(StreamWaveIn(std::make_unique<ReportingSource>(0.0425), Format8k(), nullptr).LatencyMs(), 43);
    EXPECT_EQ(StreamWaveIn(std::make_unique<ReportingSource>(0.0), Format8k(), nullptr).LatencyMs(), 0);
    EXPECT_EQ(StreamWaveIn(std::make_unique<SilentSource>(), Format8k(), nullptr).LatencyMs(), -1);
    EXPECT_EQ(StreamWaveOut(std::make_unique<ReportingSink>(0.1), Format8k(), nullptr).LatencyMs(), 100);
    EXPECT_EQ(StreamWaveOut(std::make_unique<SilentSink>(), Format8k(), nullptr).LatencyMs(), -1);
}
