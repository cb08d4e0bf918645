#include "Resampler.h"

#include <algorithm>
#include <cmath>

namespace murmelin {
namespace {

constexpr int kZeroCrossings = 16;    // per side, at the lower of the two rates
constexpr int kTableResolution = 256; // kernel points per input sample
constexpr double kBeta = 8.0;         // Kaiser window shape: ~80 dB stop band
constexpr double kPi = 3.14159265358979323846;

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < sum * 1e-12) {
            break;
        }
    }
    return sum;
}

} // namespace

Resampler::Resampler(double inputRate, double outputRate)
    : inputRate_(inputRate), outputRate_(outputRate), step_(inputRate / outputRate),
      // Cut a little below the lower Nyquist frequency so the transition band stays out
      // of the alias region.
      scale_(std::min(1.0, outputRate / inputRate) * 0.92),
      halfWidth_(static_cast<int>(std::ceil(kZeroCrossings / scale_))),
      position_(static_cast<double>(halfWidth_)) {
    const int points = halfWidth_ * kTableResolution + 2;
    table_.resize(points);
    const double norm = besselI0(kBeta);
    for (int i = 0; i < points; ++i) {
        const double x = static_cast<double>(i) / kTableResolution; // input samples
        const double r = x / halfWidth_;
        if (r >= 1.0) {
            table_[i] = 0;
            continue;
        }
        const double window = besselI0(kBeta * std::sqrt(1 - r * r)) / norm;
        const double arg = kPi * x * scale_;
        const double sinc = x == 0 ? 1.0 : std::sin(arg) / arg;
        table_[i] = static_cast<float>(scale_ * sinc * window);
    }
    // Start with half a filter of silence so the first output sample lines up with the
    // first input sample.
    history_.assign(halfWidth_, 0.0f);
}

float Resampler::kernel(double offset) const {
    const double at = std::abs(offset) * kTableResolution;
    const auto i = static_cast<std::size_t>(at);
    if (i + 1 >= table_.size()) {
        return 0;
    }
    const double frac = at - static_cast<double>(i);
    return static_cast<float>(table_[i] + (table_[i + 1] - table_[i]) * frac);
}

void Resampler::produce(std::vector<float>& output) {
    while (position_ + halfWidth_ < static_cast<double>(history_.size())) {
        const auto centre = static_cast<long>(std::floor(position_));
        double sum = 0;
        for (long k = centre - halfWidth_ + 1; k <= centre + halfWidth_; ++k) {
            if (k >= 0) {
                sum += history_[k] * kernel(position_ - static_cast<double>(k));
            }
        }
        output.push_back(static_cast<float>(sum));
        position_ += step_;
    }
    // Drop input that no future output sample can reach.
    const auto keepFrom = static_cast<long>(std::floor(position_)) - halfWidth_;
    if (keepFrom > 0) {
        history_.erase(history_.begin(), history_.begin() + keepFrom);
        position_ -= static_cast<double>(keepFrom);
    }
}

void Resampler::process(const float* input, std::size_t count, std::vector<float>& output) {
    if (inputRate_ == outputRate_) {
        output.insert(output.end(), input, input + count);
        return;
    }
    history_.insert(history_.end(), input, input + count);
    inputTotal_ += count;
    const std::size_t before = output.size();
    produce(output);
    outputTotal_ += output.size() - before;
}

void Resampler::flush(std::vector<float>& output) {
    if (inputRate_ == outputRate_) {
        return;
    }
    // Only as many samples as the input still owes, so the total length follows the ratio.
    const auto wanted =
        static_cast<std::size_t>(std::llround(static_cast<double>(inputTotal_) / step_));
    history_.insert(history_.end(), halfWidth_ + 1, 0.0f);
    std::vector<float> tail;
    produce(tail);
    const std::size_t owed = wanted > outputTotal_ ? wanted - outputTotal_ : 0;
    const std::size_t n = std::min(owed, tail.size());
    output.insert(output.end(), tail.begin(), tail.begin() + static_cast<long>(n));
    outputTotal_ += n;
    history_.assign(halfWidth_, 0.0f);
    position_ = static_cast<double>(halfWidth_);
    inputTotal_ = outputTotal_ = 0;
}

} // namespace murmelin
