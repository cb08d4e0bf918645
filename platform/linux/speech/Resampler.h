#pragma once

#include <cstddef>
#include <vector>

namespace murmelin {

// Streaming sample-rate converter for mono float audio: a Kaiser-windowed sinc low-pass
// evaluated at arbitrary fractional positions, so any pair of rates works (48000 -> 16000,
// 44100 -> 16000, 8000 -> 16000). Output lags the input by the filter's half-width until
// flush(). One instance per stream; not thread-safe.
class Resampler {
public:
    Resampler(double inputRate, double outputRate);

    // Appends the resampled samples of `input` to `output`.
    void process(const float* input, std::size_t count, std::vector<float>& output);
    // Emits what the filter still holds, as if the input went on with silence.
    void flush(std::vector<float>& output);

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }

private:
    float kernel(double offset) const;
    void produce(std::vector<float>& output);

    double inputRate_;
    double outputRate_;
    double step_;              // input samples per output sample
    double scale_;             // low-pass cutoff relative to the input Nyquist rate
    int halfWidth_;            // taps on each side, in input samples
    std::vector<float> table_; // kernel sampled at kTableResolution points per input sample
    std::vector<float> history_;
    double position_; // next output position, in input samples from history_[0]
    std::size_t inputTotal_ = 0;
    std::size_t outputTotal_ = 0;
};

} // namespace murmelin
