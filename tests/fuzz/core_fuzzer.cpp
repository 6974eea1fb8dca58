// libFuzzer target for the numeric core: arbitrary bytes become a routine choice, a few doubles
// and short grids. Every routine must return or stop with a Stop; the sanitizers catch
// out-of-bounds reads and undefined behaviour, libFuzzer catches hangs (-timeout) and crashes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/common/grid.hpp"
#include "core/common/stop.hpp"
#include "core/distributions/fokker_planck.hpp"
#include "core/distributions/park1995.hpp"
#include "core/kinematics/lorentz.hpp"
#include "core/numerics/bessel.hpp"
#include "core/numerics/polint.hpp"
#include "core/numerics/pwl_integ.hpp"
#include "core/numerics/romberg.hpp"
#include "core/numerics/tridiagonal.hpp"
#include "core/radiation/cooling.hpp"
#include "core/radiation/inverse_compton.hpp"
#include "core/radiation/synchrotron.hpp"
#include "core/radiation/transfer.hpp"

namespace {

/// Reads the input front to back; runs dry into zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    /// Mostly raw doubles (NaN, inf, subnormals, huge), sometimes tame positive values.
    double number() {
        const std::uint8_t kind = byte();
        if (kind % 4 == 0) {
            return 1.0 + static_cast<double>(byte()) * 0.37; // tame, increasing-ish
        }
        double value = 0.0;
        std::uint8_t raw[sizeof(double)] = {};
        for (auto& b : raw) {
            b = byte();
        }
        std::memcpy(&value, raw, sizeof value);
        return value;
    }

    sorvex::Grid grid(std::size_t max_length) {
        sorvex::Grid g(byte() % (max_length + 1));
        for (auto& v : g) {
            v = number();
        }
        return g;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void run(Input& in) {
    using namespace sorvex;
    constexpr std::size_t n = 6;
    switch (in.byte() % 14) {
    case 0: {
        const Grid xa = in.grid(n);
        const Grid ya = in.grid(n);
        (void)polint(xa, ya, in.number());
        break;
    }
    case 1: {
        const Grid a = in.grid(n);
        const Grid b = in.grid(n);
        const Grid c = in.grid(n);
        const Grid r = in.grid(n);
        (void)tridag_ser(a, b, c, r);
        break;
    }
    case 2: {
        const double a = in.number();
        const double b = in.number();
        (void)qromb_w2arg(trans_kn, a, b, in.number());
        break;
    }
    case 3: {
        const double v[6] = {in.number(), in.number(), in.number(),
                             in.number(), in.number(), in.number()};
        (void)sscr(v[0], v[1], v[2], v[3], v[4], v[5]);
        (void)sscs(v[0], v[1], v[2], v[3], v[4], v[5]);
        (void)pwl::p2(v[0], v[1], pwl::eps_segment);
        break;
    }
    case 4: {
        // Orders far from those in use make the Gamma product long: keep them moderate.
        const double nu = static_cast<double>(static_cast<int>(in.byte()) - 128) / 16.0;
        (void)i_nu(nu, {in.number(), in.number()});
        break;
    }
    case 5: {
        const double t = in.number();
        (void)eq_59_park1995(t, in.grid(n));
        break;
    }
    case 6: {
        const double dt = in.number();
        const Grid g = in.grid(n);
        const Grid nin = in.grid(n);
        const Grid gdot = in.grid(n);
        const Grid din = in.grid(n);
        const Grid qin = in.grid(n);
        const double tesc = in.number();
        const double tlc = in.number();
        const bool check = in.byte() % 3 != 2;
        (void)fp_findif_difu(dt, g, nin, gdot, din, qin, tesc, tlc, check);
        break;
    }
    case 7: {
        const Grid f = in.grid(3);
        const Grid g = in.grid(3);
        const Grid nd = in.grid(3);
        const double b = in.number();
        (void)syn_emissivity_full(f, g, nd, b, (in.byte() & 1) != 0);
        break;
    }
    case 8: {
        const Grid f = in.grid(n);
        const Grid inu = in.grid(n);
        const Grid g = in.grid(n);
        (void)ic_iso_powlaw_full(f, inu, g, in.grid(n));
        break;
    }
    case 9: {
        const Grid f = in.grid(n);
        const double u = in.number();
        const double nu = in.number();
        const Grid nd = in.grid(n);
        (void)ic_iso_monochrome_full(f, u, nu, nd, in.grid(n));
        break;
    }
    case 10: {
        const Grid gg = in.grid(3);
        const Grid f = in.grid(3);
        const Grid u = in.grid(3);
        (void)rad_cool_pwl(gg, f, u, (in.byte() & 1) != 0);
        break;
    }
    case 11: {
        const Grid gg = in.grid(n);
        const double nu = in.number();
        const double u = in.number();
        (void)rad_cool_mono(gg, nu, u, (in.byte() & 1) != 0);
        break;
    }
    case 12: {
        const double r = in.number();
        const Grid j = in.grid(n);
        const Grid a = in.grid(n);
        (void)rad_trans_blob(r, j, a);
        (void)rad_trans_slab(r, j, a);
        break;
    }
    default: {
        const Grid v = in.grid(n);
        (void)gofb(v);
        (void)bofg(v);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    try {
        run(in);
    } catch (const sorvex::Stop&) {
        // A stop is an allowed outcome.
    }
    return 0;
}
