#pragma once
// The integration loop of option 1, apart from the run file so that it can be driven by any
// source of spectra.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace bantrisk {

class Io;
struct RunState;

// Fills the channel boundaries (channels + 1) and channel values of spectrum s.
using SpectrumFetch =
    std::function<void(std::int32_t s, std::span<float> boundaries, std::span<double> values)>;

// The whole-number counts of the spectrum fetched last, when the source holds them so (one per
// channel, the values being these divided by the widths); empty otherwise.
using WholeCountsOf = std::function<std::span<const std::int32_t>()>;

// Integrates spectra 1..run.analysed into run.integrals, one spectrum at a time through one
// pair of buffers, with a progress line every 100 spectra and a warning for each spectrum whose
// total had to be limited or held channels that are not numbers. run.channels and run.analysed
// must already lie within the capacities. A spectrum whose whole counts are at hand is
// integrated from them (the same integral, bit for bit).
void integrate_spectra(Io &io, RunState &run, const SpectrumFetch &fetch,
                       const WholeCountsOf &whole_counts = {});

namespace dataaccess {
struct SpectrumTotal;
}

// Puts the integrals of spectra 1..run.analysed, as the run-file session gave them, into
// run.integrals, with the progress lines and the warnings integrate_spectra gives for them.
void integrate_run(Io &io, RunState &run, const std::vector<dataaccess::SpectrumTotal> &totals);

} // namespace bantrisk
